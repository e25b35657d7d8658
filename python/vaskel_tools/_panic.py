"""Home of ``PanicException``, the exception vaskel raises when its native code fails.

The type itself is created by the extension module ``vaskel``, whose init sets it here as
``PanicException``. This module never imports vaskel when it is imported (vaskel imports
it during its own init); asking for the name imports vaskel first if needed, so the type is
found whichever of the two modules is imported first, including by pickle in a fresh
process.
"""

from __future__ import annotations

__all__ = ["PanicException"]


def __getattr__(name: str) -> type[BaseException]:
    if name != "PanicException":
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    import vaskel  # noqa: F401  (its init sets PanicException in this module)

    found = globals().get("PanicException")
    if found is None:
        raise AttributeError(
            f"module {__name__!r} has no attribute 'PanicException': vaskel was imported "
            "while vaskel_tools could not be, so it could not publish the type"
        )
    return found  # type: ignore[no-any-return]
