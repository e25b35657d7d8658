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
