"""Tools around vaskel (stub: exposes PanicException lazily)."""

from __future__ import annotations

__all__ = ["PanicException"]


def __getattr__(name: str) -> object:
    if name == "PanicException":
        from vaskel_tools import _panic

        return _panic.PanicException
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
