#!/bin/sh
# Builds the release vimra.exe of the tree this script is in, without the
# tests, into the directory given; prints the exe's path.
set -eu
[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
root=$(cd "$(dirname "$0")/.." && pwd)
out=$1
mkdir -p "$out"
cmake -S "$root" -B "$out" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DVIMRA_TESTS=OFF >"$out/configure.log" 2>&1 ||
    { cat "$out/configure.log" >&2; exit 1; }
cmake --build "$out" --target vimra >"$out/build.log" 2>&1 || { cat "$out/build.log" >&2; exit 1; }
echo "$out/vimra.exe"
