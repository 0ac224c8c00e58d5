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
out=${1:-$root/docs}
for tool in wine xvfb-run xdotool xwininfo /usr/bin/import /usr/bin/convert; do
    command -v "$tool" >/dev/null 2>&1 || { echo "screenshot: $tool is missing" >&2; exit 1; }
done
exe=$("$root/tools/build-exe.sh" "$build/exe")
mkdir -p "$out"
exec xvfb-run -a -s "-screen 0 800x600x24" python3 "$root/tools/screenshot.py" \
    --exe "$exe" --prefix "$build/wineprefix-screenshot" --out "$out"
