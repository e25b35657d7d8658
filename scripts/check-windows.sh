#!/usr/bin/env bash
# Cross-compiles the parts of vaskel that know no Python for 64-bit Windows
# (x86_64-windows-gnu: MinGW-w64 headers and libraries, libc++) with Zig's
# clang, the compiler of the release build, and links them into a program:
#     bash scripts/check-windows.sh
# First, src/core and src/xml must include no header of the operating system.
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
# The core and the XML code reach the system only through src/platform: no
# header of the operating system in them (MinGW-w64 has unistd.h, so compiling
# alone would not tell). The C++ library's headers have no .h; SSE2's
# intrinsics come from the compiler.
if grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*<[^>]*\.h>' src/core src/xml | grep -v '<emmintrin\.h>'; then
    echo "check-windows: src/core and src/xml must include no system header (use src/platform/platform.hpp)" >&2
    exit 1
fi
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
