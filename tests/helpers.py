"""Helpers shared by the test files."""

import os


def child_env(**overrides):
    """The environment for a child process, as a user's shell would give it.

    The machines that run the suite may set PYTHONUNBUFFERED, a locale or a
    terminal width that users do not have: the child gets Python's own
    buffering (no PYTHONUNBUFFERED), LC_ALL=C.UTF-8 and COLUMNS=80, unless
    given otherwise. An override of None removes the variable.
    """
    env = dict(os.environ)
    env.pop("PYTHONUNBUFFERED", None)
    env.update(LC_ALL="C.UTF-8", COLUMNS="80")
    for name, value in overrides.items():
        if value is None:
            env.pop(name, None)
        else:
            env[name] = value
    return env
