"""Fixtures of the test files (what they import lives in helpers.py)."""

import os
import signal

import pytest

from helpers import start_command


@pytest.fixture
def spawn():
    """Starts child processes as helpers.start_command does. When the test
    ends, however it ends, each child still running is killed (with its whole
    process group if it was started in a session of its own), then reaped,
    and its pipes closed: a failed test leaves no process behind."""
    children = []

    def start(command, **options):
        child = start_command(command, **options)
        children.append((child, options.get("start_new_session", False)))
        return child

    yield start
    for child, own_session in children:
        if child.poll() is None:
            try:
                if own_session:
                    os.killpg(child.pid, signal.SIGKILL)
                else:
                    child.kill()
            except ProcessLookupError:
                pass
        child.wait()
        for stream in (child.stdin, child.stdout, child.stderr):
            if stream is not None:
                stream.close()
