#!/bin/sh
# Runs a Windows test program under Wine, in a prefix private to the tests.
# "--lane NAME" (or VIMRA_LANE) picks the Wine: wine8, the machine's own
# (the default), wine10 or arm64, each reached through tools/wine-lane.sh.
lane=${VIMRA_LANE:-wine8}
if [ "${1:-}" = --lane ]; then
  lane=$2
  shift 2
fi
: "${WINEPREFIX:=${VIMRA_WINEPREFIX:-${TMPDIR:-/tmp}/vimra-wine-$lane}}"
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
exec "$(dirname "$0")/../../tools/wine-lane.sh" "$lane" wine "$@"
