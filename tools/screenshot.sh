#!/bin/sh
# Takes the screenshots in docs/ of the real program in Wine's notification
# area: the icon with its tip shown, and with its menu open. It runs the
# release exe against 127.0.0.1 on a virtual display, then ends it with
# Exit from that menu. Rerun it after a change to what the tray shows.
#
# usage: tools/screenshot.sh [OUT_DIR]      (default: docs)
# VIMRA_BUILD: where the exe and the Wine prefix go (default build)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VIMRA_BUILD:-$root/build}
mkdir -p "${1:-$root/docs}"
out=$(cd "${1:-$root/docs}" && pwd)
exe=$("$root/tools/build-exe.sh" "$build/exe")
WINEPREFIX=$build/wineprefix-screenshot VIMRA_LANE=wine8 exec python3 "$root/tools/run.py" \
    --exe "$exe" --out "$build/screenshot" --screenshots "$out" 127.0.0.1
