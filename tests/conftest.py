import faulthandler

import vaskel
from vaskel_tools import PanicException  # noqa: F401  (the tests import it from here)


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
