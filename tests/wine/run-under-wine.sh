#!/bin/sh
# Runs a Windows test program under Wine, in a prefix private to the tests.
: "${WINEPREFIX:=${VIMRA_WINEPREFIX:-${TMPDIR:-/tmp}/vimra-wine}}"
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
exec wine "$@"
