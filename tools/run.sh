#!/bin/sh
# Builds vimra and runs it under Wine against the given IPv4 address.
# Without a display of its own it runs on a virtual one.
set -eu
[ $# -ge 1 ] || { echo "usage: $0 IPV4-ADDRESS" >&2; exit 2; }
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${VIMRA_BUILD:-$ROOT/build}
EXE=$("$ROOT/tools/build-exe.sh" "$BUILD/exe")
export WINEPREFIX=${WINEPREFIX:-$BUILD/wineprefix} WINEDEBUG=-all
if [ -n "${DISPLAY:-}" ]; then
  exec wine "$EXE" "$1"
fi
exec xvfb-run -a wine "$EXE" "$1"
