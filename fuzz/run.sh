#!/usr/bin/env bash
# Builds the libFuzzer targets over the C++ core with AddressSanitizer and
# UndefinedBehaviorSanitizer (the project's CMake build, option VASKEL_FUZZ)
# and runs each for SECONDS (default 60):
#     bash fuzz/run.sh [SECONDS] [TARGET...]
# Seeds live in fuzz/corpus/<target>; new inputs found during the run go to
# fuzz/build/corpus/<target>, crashes to fuzz/build/crash-<target>-*.
set -euo pipefail
HERE="$(cd "$(dirname "$0")" && pwd)"
ROOT="$(dirname "$HERE")"
SECONDS_EACH="${1:-60}"
shift || true
TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=(tokenizer engine xml tree)

if ! command -v clang++ >/dev/null 2>&1; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        echo "fuzz: installing clang with apt-get (libFuzzer comes with it)"
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >/dev/null
    else
        echo "fuzz: clang++ is needed (apt-get install clang)" >&2
        exit 1
    fi
fi
# CMake and Ninja: those of the project's .venv when it exists, else from PATH.
CMAKE=cmake
if [ -x "$ROOT/.venv/bin/cmake" ]; then
    CMAKE="$ROOT/.venv/bin/cmake"
    export PATH="$ROOT/.venv/bin:$PATH"
fi
if ! command -v "$CMAKE" >/dev/null 2>&1 || ! command -v ninja >/dev/null 2>&1; then
    echo "fuzz: cmake and ninja are needed (pip install cmake ninja, or run scripts/test.sh once to make .venv)" >&2
    exit 1
fi

BUILD="$HERE/build"
mkdir -p "$BUILD"
# Compiler errors and warnings are shown; a failed build stops the script.
"$CMAKE" -S "$ROOT" -B "$BUILD/cmake" -G Ninja --log-level=WARNING -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVASKEL_FUZZ=ON -DVASKEL_WERROR=ON
"$CMAKE" --build "$BUILD/cmake" -j2 --target "${TARGETS[@]/#/fuzz_}"

status=0
for t in "${TARGETS[@]}"; do
    exe="$BUILD/cmake/fuzz_$t"
    mkdir -p "$BUILD/corpus/$t" "$HERE/corpus/$t"
    echo "== fuzz_$t for ${SECONDS_EACH}s"
    if ! "$exe" -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
            -artifact_prefix="$BUILD/crash-$t-" "$BUILD/corpus/$t" "$HERE/corpus/$t" \
            2> "$BUILD/fuzz_$t.log"; then
        echo "fuzz_$t FAILED; see $BUILD/fuzz_$t.log" >&2
        tail -40 "$BUILD/fuzz_$t.log" >&2
        status=1
    fi
    grep -E '^stat::number_of_executed_units|^#[0-9]+.*DONE' "$BUILD/fuzz_$t.log" | tail -2
done
exit $status
