"""Helpers shared by the test files: child processes run as a user runs them,
and the engine run with its trace captured.

A child process gets child_env() and has its standard output and error
captured, as bytes unless text=True is given. run_command runs one to its end;
start_command starts one that the test talks to (tests start theirs through
the `spawn` fixture of conftest.py, which ends whatever is left of them).
"""

import faulthandler
import os
import subprocess
import sys
import textwrap

import pytest


def child_env(**overrides):
    """The environment for a child process, as a user's shell would give it.

    The machines that run the suite may set PYTHONUNBUFFERED, a locale or a
    terminal width that users do not have: the child gets Python's own
    buffering (no PYTHONUNBUFFERED), LC_ALL=C.UTF-8 (and no LANG or LC_CTYPE
    beside it) and COLUMNS=80, unless given otherwise. An override of None
    removes the variable.
    """
    env = dict(os.environ)
    for name in ("PYTHONUNBUFFERED", "LANG", "LC_CTYPE"):
        env.pop(name, None)
    env.update(LC_ALL="C.UTF-8", COLUMNS="80")
    for name, value in overrides.items():
        if value is None:
            env.pop(name, None)
        else:
            env[name] = value
    return env


def python_command(code, *args):
    """The command that runs `code`, dedented, in a fresh interpreter, with
    `args` (made strings) as its sys.argv[1:]."""
    return [sys.executable, "-c", textwrap.dedent(code), *map(str, args)]


def vaskel_command(*args):
    """The `vaskel` command with `args` (made strings), run by this interpreter."""
    return [sys.executable, "-m", "vaskel_tools", *map(str, args)]


def _child_options(env, options):
    options.setdefault("stdout", subprocess.PIPE)
    options.setdefault("stderr", subprocess.PIPE)
    options["env"] = child_env() if env is None else env
    return options


def run_command(command, *, timeout=120, env=None, **options):
    """Runs `command` to its end and returns its subprocess.CompletedProcess.

    `env` replaces child_env() whole; stdout and stderr are captured unless
    redirected; the other options go to subprocess.run as they are (input,
    text, cwd, check...). A child still running after `timeout` seconds is
    killed and fails the test.
    """
    try:
        return subprocess.run(command, timeout=timeout, **_child_options(env, options))
    except subprocess.TimeoutExpired:
        pytest.fail(f"the child process hung for {timeout} s: {' '.join(map(str, command[:2]))} ...")


def run_python(code, *args, **options):
    """Runs `code` in a fresh interpreter: python_command, then run_command."""
    return run_command(python_command(code, *args), **options)


def run_vaskel(*args, **options):
    """Runs the `vaskel` command: vaskel_command, then run_command."""
    return run_command(vaskel_command(*args), **options)


def start_command(command, *, env=None, **options):
    """Starts `command` and returns its subprocess.Popen, with the same
    environment and pipes as run_command. Tests call it through the `spawn`
    fixture, which ends the child and its pipes once the test is over."""
    return subprocess.Popen(command, **_child_options(env, options))


def run_engine(capfd, tokens, rules):
    """Runs the engine and returns (tree, what it printed on fd 1)."""
    import vaskel

    capfd.readouterr()
    # A run that never ends would hang with the interpreter lock held; the
    # watchdog ends the process instead.
    faulthandler.dump_traceback_later(60, exit=True)
    try:
        tree = vaskel.engine(tokens, rules)
    finally:
        faulthandler.cancel_dump_traceback_later()
    return tree, capfd.readouterr().out
