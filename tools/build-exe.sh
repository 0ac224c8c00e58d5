#!/bin/sh
# Builds the release vimra.exe of the tree this script is in, without the
# tests, into the directory given; prints the exe's path. With --arm64, the
# Windows on ARM64 exe, with the toolchain of tools/arm64-toolchain.sh (which
# builds it on first use, in minutes).
set -eu
usage() { echo "usage: $0 [--arm64] BUILD_DIR" >&2; exit 2; }
arm64=""
if [ "${1:-}" = --arm64 ]; then
    arm64=1
    shift
fi
[ $# -eq 1 ] || usage
root=$(cd "$(dirname "$0")/.." && pwd)
out=$1
if [ -n "$arm64" ]; then
    set -- -DCMAKE_TOOLCHAIN_FILE="$root/cmake/llvm-mingw-aarch64.cmake" \
        -DVIMRA_ARM64_TOOLCHAIN="$("$root/tools/arm64-toolchain.sh")"
else
    set -- -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"
fi
mkdir -p "$out"
# A tree configured with an earlier ARM64 toolchain keeps its tools'
# paths, which are gone once a new toolchain replaces it: start it afresh.
archiver=$(sed -n 's/^CMAKE_AR:[A-Z]*=//p' "$out/CMakeCache.txt" 2>/dev/null || true)
[ -z "$archiver" ] || [ -x "$archiver" ] || set -- --fresh "$@"
cmake -S "$root" -B "$out" -G Ninja "$@" \
    -DCMAKE_BUILD_TYPE=Release -DVIMRA_TESTS=OFF >"$out/configure.log" 2>&1 ||
    { cat "$out/configure.log" >&2; exit 1; }
cmake --build "$out" --target vimra >"$out/build.log" 2>&1 || { cat "$out/build.log" >&2; exit 1; }
echo "$out/vimra.exe"
