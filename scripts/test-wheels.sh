#!/usr/bin/env bash
# Runs the test suite against the release wheel on every CPython from 3.10 to
# 3.13 that pyenv holds (a version that is absent is skipped, with a line
# saying so). Each run gets a fresh venv with the wheel from dist/ and its
# `test` extra; the test-only module comes from the testing variant built by
# the same release build (build/release/testing), put on PYTHONPATH, so that
# the module under test is the published one.
#     bash scripts/build-wheels.sh && bash scripts/test-wheels.sh [PYTEST ARGS]
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
WORK="$ROOT/build/wheel-tests"
VERSIONS=(3.10 3.11 3.12 3.13)
export PIP_DISABLE_PIP_VERSION_CHECK=1

shopt -s nullglob
wheels=("$ROOT"/dist/vaskel-*-cp310-abi3-manylinux*.whl)
testing=("$ROOT"/build/release/testing/vaskel-*.whl)
shopt -u nullglob
if [ ${#wheels[@]} != 1 ] || [ ${#testing[@]} != 1 ]; then
    echo "test-wheels: run scripts/build-wheels.sh first (want one wheel in dist/ and one in build/release/testing/)" >&2
    exit 1
fi
WHEEL="${wheels[0]}"
echo "wheel under test: $(basename "$WHEEL")"

rm -rf "$WORK"
mkdir -p "$WORK/testing-module"
# Only the test-only module is taken from the testing variant.
python3 - "${testing[0]}" "$WORK/testing-module" <<'PY'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    names = [n for n in z.namelist() if n.startswith("_vaskel_testing.")]
    if not names:
        sys.exit(f"test-wheels: no _vaskel_testing module in {sys.argv[1]}")
    z.extractall(sys.argv[2], names)
PY

ran=0
for v in "${VERSIONS[@]}"; do
    found=""
    if command -v pyenv >/dev/null 2>&1; then
        found="$(pyenv versions --bare 2>/dev/null | grep -E "^${v//./\\.}(\.[0-9]+)?$" | sort -V | tail -1 || true)"
    fi
    if [ -z "$found" ]; then
        echo "== CPython $v: SKIPPED, not installed (pyenv versions lists no $v)"
        continue
    fi
    python="$(pyenv prefix "$found")/bin/python"
    venv="$WORK/venv-$v"
    echo "== CPython $found: fresh venv, the wheel and its test extra"
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q "$WHEEL[test]"
    # The test run must import the installed wheel, not anything from the tree.
    (cd "$WORK" && PYTHONPATH="$WORK/testing-module" "$venv/bin/python" - "$venv" <<'PY'
import os, sys, vaskel, _vaskel_testing
where = os.path.realpath(vaskel.__file__)
if not where.startswith(os.path.realpath(sys.argv[1]) + os.sep):
    sys.exit(f"test-wheels: vaskel imported from {where}, not from the venv")
print(f"vaskel from {where}")
PY
)
    (cd "$ROOT" && PYTHONPATH="$WORK/testing-module" "$venv/bin/python" -m pytest -q -p no:cacheprovider tests "$@")
    ran=$((ran + 1))
done
if [ "$ran" = 0 ]; then
    echo "test-wheels: none of CPython ${VERSIONS[*]} is installed" >&2
    exit 1
fi
echo "== the wheel passed on $ran Python version(s)"
