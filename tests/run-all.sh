#!/bin/sh
# Builds and runs every test: the core natively (plain, with address and
# undefined-behaviour sanitizers, with the thread sanitizer), a short fuzz
# run, then the Windows tests and the whole program end to end in each lane:
# the x64 exe under the machine's Wine 8 and under Wine 10, and the ARM64
# exe under arm64 Wine on qemu-user; and one row with the signed x64 exe of
# the release checks under Wine 8. The lanes run one after another: the
# end-to-end limits are timing-tight on two cores.
#
# VIMRA_LANES: the lanes to run (default "wine8 wine10 arm64").
# VIMRA_ARM64_TIME_SCALE: how much longer the ARM64 rows may take to see
# something happen under emulation (default 3).
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${VIMRA_BUILD:-$ROOT/build}
known="wine8 wine10 arm64"
LANES=${VIMRA_LANES:-$known}
for name in $LANES; do
  case " $known " in *" $name "*) ;; *) echo "$0: unknown lane '$name' in VIMRA_LANES (known: $known)" >&2; exit 2 ;; esac
done
export WINEDEBUG=-all

step() { printf '\n=== %s (%s)\n' "$*" "$(date +%T)"; }

native() {  # name, extra cmake arguments...
  dir=$BUILD/$1; shift
  cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug "$@" >/dev/null
  cmake --build "$dir"
  # The ARM64 release checks wait for the ARM64 toolchain: they run below.
  ctest --test-dir "$dir" --output-on-failure -LE release-arm64
}

lane() {  # lane, build directory, exe, extra end-to-end arguments...
  name=$1 tree=$2 exe=$3; shift 3
  step "$name: Windows tests under Wine"
  VIMRA_LANE=$name WINEPREFIX=$BUILD/wineprefix-$name \
    xvfb-run -a ctest --test-dir "$tree" --output-on-failure
  step "$name: the whole program under Wine, end to end"
  /usr/bin/python3 "$ROOT/tests/e2e/scenarios.py" --lane "$name" --exe "$exe" \
    --evidence "$BUILD/e2e-evidence" "$@"
}

# What the ARM64 and Wine 10 lanes need is built once into a cache outside
# the tree. On a machine that has none of it yet that takes minutes, mostly
# downloads and emulation, so it goes on beside the native tests, and every
# lane waits for it: no end-to-end timing runs beside a build. Each is a
# session of its own. One that fails prints its log and tells the run, which
# ends with the step it is in; ending, the run stops the others with all they
# started, and waits while they clean up on TERM.
mkdir -p "$BUILD"
preparing=""
prepare() {  # name, command...
  log=$BUILD/prepare-$1.log; shift
  # shellcheck disable=SC2016
  setsid sh -c 'trap "exit 143" TERM
    "$@" >"$0" 2>&1 || { cat "$0"; echo "preparing failed: $0"; kill -USR1 '"$$"'; exit 1; }' "$log" "$@" >&2 &
  preparing="$preparing $!"
}
trap 'trap "" USR1; for job in $preparing; do kill -TERM "-$job" 2>/dev/null || true; done; wait' EXIT
trap 'exit 130' INT TERM HUP
trap 'exit 1' USR1
for name in $LANES; do
  case $name in
  wine10) prepare wine10 "$ROOT/tools/wine-lane.sh" wine10 ;;
  arm64)
    prepare arm64-toolchain "$ROOT/tools/arm64-toolchain.sh"
    prepare arm64 "$ROOT/tools/wine-lane.sh" arm64 ;;
  esac
done

step "native"
native native
step "native, address and undefined-behaviour sanitizers"
native native-asan -DVIMRA_SANITIZE=address,undefined
step "native, thread sanitizer"
native native-tsan -DVIMRA_SANITIZE=thread
step "fuzz (short run)"
CXX=clang++ native fuzz -DVIMRA_FUZZ=ON -DVIMRA_SANITIZE=fuzzer-no-link,address,undefined

step "waiting for the lanes' toolchain and chroots"
for job in $preparing; do wait "$job" || { echo "a preparation was killed: $BUILD/prepare-*.log" >&2; exit 1; }; done
preparing=""
case " $LANES " in
*" arm64 "*)
  step "the release checks of the ARM64 exe"
  ctest --test-dir "$BUILD/native" --output-on-failure -L release-arm64 ;;
esac

for name in $LANES; do
  case $name in
  wine8 | wine10)
    step "x64 Windows build"
    "$ROOT/tools/build.sh"
    lane "$name" "$BUILD/win" "$BUILD/win/vimra.exe"
    if [ "$name" = wine8 ]; then
      # The exe the release check signed with its throwaway certificate: a
      # signature must not change how the program starts and ends.
      signed=$BUILD/native/tests/release/signing-check/signed-x64/vimra.exe
      [ -f "$signed" ] || { echo "no signed exe: the release_signing check did not run" >&2; exit 1; }
      step "wine8: the signed x64 exe, one row end to end"
      /usr/bin/python3 "$ROOT/tests/e2e/scenarios.py" --lane wine8 --exe "$signed" --only a. \
        --evidence "$BUILD/e2e-evidence-signed"
    fi ;;
  arm64)
    step "ARM64 Windows build"
    "$ROOT/tools/build.sh" --arm64
    lane arm64 "$BUILD/arm64" "$BUILD/arm64/vimra.exe" --time-scale "${VIMRA_ARM64_TIME_SCALE:-3}" ;;
  esac
done

step "all tests passed"
