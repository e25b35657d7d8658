#!/usr/bin/env bash
# Runs the pytest suite against a build of vaskel (and its test-only module)
# compiled with AddressSanitizer and UndefinedBehaviorSanitizer. The
# interpreter itself is not instrumented, so the ASan runtime is preloaded and
# Python's own allocator is switched to malloc to let ASan see every block.
source "$(dirname "$0")/dev-env.sh"
if [ "${VASKEL_ENV_READY:-0}" != 1 ]; then
    vaskel_env "pytest hypothesis dask distributed" -Ccmake.define.VASKEL_BUILD_TESTING=ON
fi
BUILD="$ROOT/build/sanitized"
# The project's CMake build with its sanitizer option, compiled by g++ (whose
# runtime is preloaded below). Compiler errors and warnings are shown, and a
# failed build stops the script.
export PATH="$VENV/bin:$PATH"
cmake -S "$ROOT" -B "$BUILD" -G Ninja --log-level=WARNING -DCMAKE_CXX_COMPILER=g++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVASKEL_SANITIZE=ON -DVASKEL_WERROR=ON -DVASKEL_BUILD_TESTING=ON \
    -DPython_EXECUTABLE="$PY"
cmake --build "$BUILD" -j2
cd "$ROOT"
# libstdc++ is preloaded too, so that ASan finds the real __cxa_throw to wrap.
ASAN_RUNTIME="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so.6)"
# Leak checking is left to the dedicated leak test: at exit the interpreter
# keeps memory that LeakSanitizer would list.
env LD_PRELOAD="$ASAN_RUNTIME" PYTHONMALLOC=malloc PYTHONPATH="$BUILD" \
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    VASKEL_SANITIZED=1 "$PY" -m pytest -q -p no:cacheprovider tests "$@"
