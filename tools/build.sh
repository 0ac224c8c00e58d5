#!/bin/sh
# Builds the Windows program (and its Windows tests) into build/win.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${VIMRA_BUILD:-$ROOT/build}
cmake -S "$ROOT" -B "$BUILD/win" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$BUILD/win" "$@"
