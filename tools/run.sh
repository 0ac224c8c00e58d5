#!/bin/sh
# Builds vimra and runs it under Wine against the given IPv4 address.
# Without a display of its own it runs on a virtual one and prints what the
# tray icon shows; --for ends it after that many seconds with its Exit command.
# --wine10 runs the same x64 exe under Wine 10 (a Debian 13 chroot), --arm64
# the ARM64 exe under arm64 Wine on qemu-user (an arm64 chroot); either is
# set up the first time it is asked for, which takes minutes.
set -eu
usage() { echo "usage: $0 [--wine10 | --arm64] IPV4-ADDRESS [--for SECONDS]" >&2; exit 2; }
lane=wine8
case ${1:-} in
--wine10) lane=wine10; shift ;;
--arm64) lane=arm64; shift ;;
esac
# The program's default target is a public address: never start it without one.
[ $# -eq 1 ] || { [ $# -eq 3 ] && [ "$2" = --for ]; } || usage
case $1 in -*) usage ;; esac
if [ $# -eq 3 ]; then
  case $3 in '' | *[!0-9.]* | *.*.*) usage ;; esac
  # On a desktop the icon sits in its own tray, which this script cannot read or click.
  [ -z "${DISPLAY:-}" ] ||
    { echo "$0: --for works on the virtual display only; run with DISPLAY unset" >&2; exit 2; }
fi
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${VIMRA_BUILD:-$ROOT/build}
if [ $lane = arm64 ]; then
  echo "Building the ARM64 vimra.exe in $BUILD/exe-arm64..."
  EXE=$("$ROOT/tools/build-exe.sh" --arm64 "$BUILD/exe-arm64")
else
  echo "Building vimra.exe in $BUILD/exe..."
  EXE=$("$ROOT/tools/build-exe.sh" "$BUILD/exe")
fi
# The machine's Wine keeps the prefix it always had; each other Wine has its own.
[ $lane = wine8 ] && prefix=$BUILD/wineprefix || prefix=$BUILD/wineprefix-$lane
export WINEPREFIX=${WINEPREFIX:-$prefix}
export WINEDEBUG=-all VIMRA_LANE=$lane
# No offer to install Mono and Gecko when the prefix is created.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# Set up now, with its progress shown, rather than silently in the middle of the run.
[ $lane = wine8 ] || "$ROOT/tools/wine-lane.sh" $lane
if [ -n "${DISPLAY:-}" ]; then
  exec "$ROOT/tools/wine-lane.sh" $lane wine "$EXE" "$1"
fi
exec python3 "$ROOT/tools/run.py" --exe "$EXE" --out "$BUILD/run" ${3:+--for "$3"} "$1"
