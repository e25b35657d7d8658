#!/usr/bin/env bash
# Runs the whole test suite:
#   1. builds vaskel with its test-only module into .venv and runs pytest;
#   2. checks the type stubs against the module (stubtest), and the examples and the
#      vaskel_tools package with mypy (strict; the files are listed in pyproject.toml);
#   3. cross-compiles the core, the XML code and the Windows platform layer
#      for Windows with Zig and links them (scripts/check-windows.sh);
#   4. builds the sources with clang and libc++ (the library of macOS) and runs
#      pytest against that build;
#   5. runs pytest again against an AddressSanitizer + UBSan build;
#   6. runs each libFuzzer target for FUZZ_SECONDS (default 60) seconds;
#   7. makes the release build (sdist, then the manylinux2014 abi3 wheel) and runs
#      the suite against that wheel on every CPython 3.10-3.13 that pyenv holds.
# Set FUZZ_SECONDS=0 to skip the fuzzing step, WINDOWS=0 the Windows check, WHEELS=0 the last one. Every build treats compiler
# warnings as errors. Missing Debian packages (clang, libc++) are installed
# with apt-get, after a line naming them.
source "$(dirname "$0")/dev-env.sh"
vaskel_apt "the clang/libc++ build and the fuzz targets" clang libc++-dev libc++abi-dev
vaskel_env "pytest hypothesis mypy dask distributed nltk pandas spacy" -Ccmake.define.VASKEL_BUILD_TESTING=ON \
    -Ccmake.define.VASKEL_WERROR=ON
cd "$ROOT"

echo "== pytest"
"$PY" -m pytest -q -p no:cacheprovider tests

echo "== type stubs"
"$PY" -m mypy.stubtest vaskel
"$PY" -m mypy

if [ "${WINDOWS:-1}" != 0 ]; then
    echo "== Windows cross-compile check"
    bash scripts/check-windows.sh
fi

echo "== clang + libc++ build"
PATH="$VENV/bin:$PATH" cmake -S "$ROOT" -B "$ROOT/build/clang-libcxx" -G Ninja --log-level=WARNING \
    -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS=-stdlib=libc++ -DCMAKE_EXE_LINKER_FLAGS=-stdlib=libc++ \
    -DCMAKE_MODULE_LINKER_FLAGS=-stdlib=libc++ -DVASKEL_WERROR=ON -DVASKEL_BUILD_TESTING=ON \
    -DPython_EXECUTABLE="$PY"
PATH="$VENV/bin:$PATH" cmake --build "$ROOT/build/clang-libcxx" -j2
PYTHONPATH="$ROOT/build/clang-libcxx" "$PY" -c 'import vaskel, sys; sys.exit("clang-libcxx" not in vaskel.__file__)'
PYTHONPATH="$ROOT/build/clang-libcxx" "$PY" -m pytest -q -p no:cacheprovider tests

echo "== pytest against the sanitized build"
VASKEL_ENV_READY=1 bash scripts/test-sanitized.sh

if [ "${FUZZ_SECONDS:-60}" != 0 ]; then
    echo "== fuzzing"
    bash fuzz/run.sh "${FUZZ_SECONDS:-60}"
fi
if [ "${WHEELS:-1}" != 0 ]; then
    echo "== release build"
    bash scripts/build-wheels.sh
    echo "== the suite against the release wheel"
    bash scripts/test-wheels.sh
fi
echo "== all checks passed"
