"""Home of PanicException, the type vaskel raises when its native code fails.

vaskel's module init imports this module and stores the type here under the
name ``PanicException``, so the type's dotted name points at an importable
module and its instances pickle across processes. This module never imports
vaskel when it is imported itself (vaskel's init is importing it); reading
``PanicException`` before vaskel was imported imports it then.
"""

from __future__ import annotations

import os
import sys
from typing import Any


def _provoked() -> type[BaseException]:
    # A vaskel built without the hook above publishes nothing here; the type
    # is then taken from a real failure, with the failure report that goes
    # to standard error dropped.
    import vaskel

    sys.stderr.flush()
    saved = os.dup(2)
    try:
        with open(os.devnull, "wb") as sink:
            os.dup2(sink.fileno(), 2)
        try:
            vaskel.Tree([]).get_children(1, 0)
        except BaseException as exc:  # noqa: BLE001 - the failure is the point
            if isinstance(exc, (KeyboardInterrupt, SystemExit)):
                raise
            return type(exc)
    finally:
        os.dup2(saved, 2)
        os.close(saved)
    raise ImportError("vaskel raised no internal failure where one was expected")


def __getattr__(name: str) -> Any:
    if name != "PanicException":
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    import vaskel  # noqa: F401 - its init publishes the type in this module

    published = globals().get("PanicException")
    if published is None:
        published = globals()["PanicException"] = _provoked()
    return published
