#!/bin/sh
# Builds vimra and runs it under Wine against the given IPv4 address.
# Without a display of its own it runs on a virtual one and prints what the
# tray icon shows; --for ends it after that many seconds with its Exit command.
set -eu
usage() { echo "usage: $0 IPV4-ADDRESS [--for SECONDS]" >&2; exit 2; }
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
echo "Building vimra.exe in $BUILD/exe..."
EXE=$("$ROOT/tools/build-exe.sh" "$BUILD/exe")
export WINEPREFIX=${WINEPREFIX:-$BUILD/wineprefix} WINEDEBUG=-all
# No offer to install Mono and Gecko when the prefix is created.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
if [ -n "${DISPLAY:-}" ]; then
  exec wine "$EXE" "$1"
fi
if [ $# -eq 3 ]; then
  exec python3 "$ROOT/tools/run.py" --exe "$EXE" --out "$BUILD/run" --for "$3" "$1"
fi
exec python3 "$ROOT/tools/run.py" --exe "$EXE" --out "$BUILD/run" "$1"
