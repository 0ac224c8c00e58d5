#!/bin/sh
# Builds the Windows program (and its Windows tests) into build/win; with
# --arm64 first, the Windows on ARM64 ones into build/arm64, with the
# toolchain of tools/arm64-toolchain.sh (built on first use, in minutes).
# Other arguments go to cmake --build.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${VIMRA_BUILD:-$ROOT/build}
TREE=$BUILD/win TOOLCHAIN_FILE=$ROOT/cmake/mingw-w64-x86_64.cmake ARM64_TOOLCHAIN=""
if [ "${1:-}" = --arm64 ]; then
  shift
  TREE=$BUILD/arm64 TOOLCHAIN_FILE=$ROOT/cmake/llvm-mingw-aarch64.cmake
  ARM64_TOOLCHAIN=$("$ROOT/tools/arm64-toolchain.sh")
fi
# A tree configured with an earlier ARM64 toolchain keeps its tools'
# paths, which are gone once a new toolchain replaces it: start it afresh.
ARCHIVER=$(sed -n 's/^CMAKE_AR:[A-Z]*=//p' "$TREE/CMakeCache.txt" 2>/dev/null || true)
FRESH=""
[ -z "$ARCHIVER" ] || [ -x "$ARCHIVER" ] || FRESH=--fresh
cmake $FRESH -S "$ROOT" -B "$TREE" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN_FILE" \
  ${ARM64_TOOLCHAIN:+"-DVIMRA_ARM64_TOOLCHAIN=$ARM64_TOOLCHAIN"} >/dev/null
cmake --build "$TREE" "$@"
