#!/bin/sh
# Builds and runs every test: the core natively (plain, with address and
# undefined-behaviour sanitizers, with the thread sanitizer), a short fuzz
# run, the Windows tests under Wine, and the whole program end to end.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${VIMRA_BUILD:-$ROOT/build}
export WINEPREFIX=${WINEPREFIX:-$BUILD/wineprefix} WINEDEBUG=-all

step() { printf '\n=== %s\n' "$*"; }

native() {  # name, extra cmake arguments...
  dir=$BUILD/$1; shift
  cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug "$@" >/dev/null
  cmake --build "$dir"
  ctest --test-dir "$dir" --output-on-failure
}

step "native"
native native
step "native, address and undefined-behaviour sanitizers"
native native-asan -DVIMRA_SANITIZE=address,undefined
step "native, thread sanitizer"
native native-tsan -DVIMRA_SANITIZE=thread
step "fuzz (short run)"
CXX=clang++ native fuzz -DVIMRA_FUZZ=ON -DVIMRA_SANITIZE=fuzzer-no-link,address,undefined

step "Windows build and tests under Wine"
"$ROOT/tools/build.sh"
xvfb-run -a ctest --test-dir "$BUILD/win" --output-on-failure

step "the whole program under Wine, end to end"
python3 "$ROOT/tests/e2e/scenarios.py" --exe "$BUILD/win/vimra.exe" \
  --responder "$BUILD/native/tests/host/vimra_responder"

step "all tests passed"
