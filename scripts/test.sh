#!/usr/bin/env bash
# Runs the whole test suite:
#   1. builds vaskel with its test-only module into .venv and runs pytest;
#   2. checks the type stubs against the module (stubtest), and the examples and the
#      vaskel_tools package with mypy (strict; the files are listed in pyproject.toml);
#   3. runs pytest again against an AddressSanitizer + UBSan build;
#   4. runs each libFuzzer target for FUZZ_SECONDS (default 60) seconds.
# Set FUZZ_SECONDS=0 to skip the fuzzing step.
source "$(dirname "$0")/dev-env.sh"
vaskel_env "pytest hypothesis mypy dask distributed" -Ccmake.define.VASKEL_BUILD_TESTING=ON
cd "$ROOT"

echo "== pytest"
"$PY" -m pytest -q -p no:cacheprovider tests

echo "== type stubs"
"$PY" -m mypy.stubtest vaskel
"$PY" -m mypy

echo "== pytest against the sanitized build"
VASKEL_ENV_READY=1 bash scripts/test-sanitized.sh

if [ "${FUZZ_SECONDS:-60}" != 0 ]; then
    echo "== fuzzing"
    bash fuzz/run.sh "${FUZZ_SECONDS:-60}"
fi
echo "== all checks passed"
