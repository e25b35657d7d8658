import faulthandler

import pytest

import vaskel


def _panic_type() -> type:
    # PanicException is not a module attribute; take it from a real failure.
    try:
        vaskel.Tree([]).get_children(1, 0)
    except BaseException as exc:  # noqa: BLE001 - that is the point
        return type(exc)
    raise AssertionError("expected an internal failure")


PanicException = _panic_type()


@pytest.fixture
def panic_type() -> type:
    return PanicException


def run_engine(capfd, tokens, rules):
    """Runs the engine and returns (tree, what it printed on fd 1)."""
    capfd.readouterr()
    # A run that never ends would hang with the interpreter lock held; the
    # watchdog ends the process instead.
    faulthandler.dump_traceback_later(60, exit=True)
    try:
        tree = vaskel.engine(tokens, rules)
    finally:
        faulthandler.cancel_dump_traceback_later()
    return tree, capfd.readouterr().out
