"""Checked before the tests are collected: a bare `pytest` run with a Python
that lacks vaskel or its test-only module stops with one line saying what to
run instead, rather than with an import error for each test file."""

import importlib.util
import sys

import pytest

HINT = "run `bash scripts/pytest.sh [PYTEST ARGS]` instead: it builds both into .venv and runs pytest there"

# Nearly every test file imports vaskel as it is collected, and would fail
# there with an import error of its own: without vaskel, stop here, as this
# file is loaded, before any of them is collected.
if importlib.util.find_spec("vaskel") is None:
    sys.stderr.write(f"ERROR: vaskel is not installed for this Python; {HINT}\n")
    raise SystemExit(4)


def pytest_configure(config: pytest.Config) -> None:
    # Named test files may well not need the test-only module (the wheel
    # builds of other platforms run such a subset); a whole-suite run does.
    source = getattr(config, "args_source", None)  # pytest 7.3 and later
    named = source is not None and source.name == "ARGS"
    if not named and importlib.util.find_spec("_vaskel_testing") is None:
        raise pytest.UsageError(f"the test-only module _vaskel_testing is not installed for this Python; {HINT}")
