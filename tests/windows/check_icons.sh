#!/bin/sh
# Regenerates the icons and the docs picture of them from their art and
# compares them with the committed ones, so a hand-edited .ico or picture,
# or a generator that drifts, is caught.
# usage: check_icons.sh <source dir> <scratch dir>
set -u
src=$1
out=$2
rm -rf "$out"
mkdir -p "$out" || exit 1
python3 "$src/resources/icongen.py" "$out/icons" || exit 1
python3 "$src/resources/icongen.py" --docs "$out/docs" || exit 1
status=0
# diff names every icon that differs and every one made or committed alone.
diff -rq -x art "$out/icons" "$src/resources/icons" || status=1
cmp "$out/docs/status-icons.png" "$src/docs/status-icons.png" || status=1
[ $status -eq 0 ] && echo "$(ls "$out"/icons/*.ico | wc -l) icons and the docs picture match"
exit $status
