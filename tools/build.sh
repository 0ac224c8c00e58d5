#!/bin/sh
# Builds the Windows program (and its Windows tests) into build/win; with
# --arm64 first, the Windows on ARM64 ones into build/arm64, with the
# toolchain of tools/arm64-toolchain.sh (built on first use, in minutes).
# Other arguments go to cmake --build.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${VIMRA_BUILD:-$ROOT/build}
if [ "${1:-}" = --arm64 ]; then
  shift
  TOOLCHAIN=$("$ROOT/tools/arm64-toolchain.sh")
  cmake -S "$ROOT" -B "$BUILD/arm64" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/llvm-mingw-aarch64.cmake" \
    -DVIMRA_ARM64_TOOLCHAIN="$(echo "$TOOLCHAIN" | tail -n 1)" >/dev/null
  exec cmake --build "$BUILD/arm64" "$@"
fi
cmake -S "$ROOT" -B "$BUILD/win" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$BUILD/win" "$@"
