#!/bin/sh
# Builds vimra and runs it under Wine against the given IPv4 address.
# Without a display of its own it runs on a virtual one.
set -eu
[ $# -ge 1 ] || { echo "usage: $0 IPV4-ADDRESS" >&2; exit 2; }
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${VIMRA_BUILD:-$ROOT/build}
"$ROOT/tools/build.sh" --target vimra
export WINEPREFIX=${WINEPREFIX:-$BUILD/wineprefix} WINEDEBUG=-all
if [ -n "${DISPLAY:-}" ]; then
  exec wine "$BUILD/win/vimra.exe" "$1"
fi
exec xvfb-run -a wine "$BUILD/win/vimra.exe" "$1"
