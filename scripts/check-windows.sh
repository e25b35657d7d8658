#!/usr/bin/env bash
# Cross-compiles the parts of vaskel that know no Python for 64-bit Windows
# (x86_64-windows-gnu: MinGW-w64 headers and libraries, libc++) with Zig's
# clang, the compiler of the release build, and links them into a program:
#     bash scripts/check-windows.sh
# Compiled, with the project's warnings and -Werror: every src/core/*.cpp and
# src/xml/*.cpp, src/platform/windows.cpp and scripts/check-windows-main.cpp;
# linked: all of them together (so every symbol they use must resolve,
# bcrypt's included). The program is built, not run. Not compiled: the Python
# boundary (src/boundary, src/testing), for want of Windows Python headers
# (the CPython here has only the pyconfig.h of Linux).
# Zig comes from PyPI into the release build's tools venv, build/release/tools
# (as scripts/build-wheels.sh does); once there, no network is needed.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
TOOLS="$ROOT/build/release/tools"
OUT="$ROOT/build/check-windows"
TARGET=x86_64-windows-gnu
export PIP_DISABLE_PIP_VERSION_CHECK=1
if [ -z "${HOME:-}" ] && [ -z "${ZIG_GLOBAL_CACHE_DIR:-}" ]; then
    export ZIG_GLOBAL_CACHE_DIR="$ROOT/build/release/zig-cache"
fi

if [ ! -x "$TOOLS/bin/python" ]; then
    python3 -m venv "$TOOLS"
fi
if ! "$TOOLS/bin/python" -c 'import ziglang' 2>/dev/null; then
    echo "check-windows: installing ziglang into $TOOLS"
    "$TOOLS/bin/python" -m pip install -q ziglang
fi
ZIG=("$TOOLS/bin/python" -m ziglang)

cd "$ROOT"
sources=(src/core/*.cpp src/xml/*.cpp src/platform/windows.cpp scripts/check-windows-main.cpp)
rm -rf "$OUT"
mkdir -p "$OUT"
flags=(-target "$TARGET" -std=c++20 -O1 -Wall -Wextra -Werror -Isrc)
echo "== Windows ($TARGET): compiling ${#sources[@]} files"
objects=()
for src in "${sources[@]}"; do
    obj="$OUT/$(echo "${src%.cpp}" | tr / _).o"
    objects+=("$obj")
    "${ZIG[@]}" c++ "${flags[@]}" -c "$src" -o "$obj"
done
"${ZIG[@]}" c++ -target "$TARGET" "${objects[@]}" -lbcrypt -o "$OUT/check.exe"
echo "== Windows ($TARGET): linked $OUT/check.exe"
