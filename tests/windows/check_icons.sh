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
python3 "$src/resources/icongen.py" "$out" || exit 1
python3 "$src/resources/icongen.py" --docs "$out/docs" || exit 1
status=0
for made in "$out"/*.ico; do
    name=$(basename "$made")
    if ! cmp "$made" "$src/resources/icons/$name"; then
        echo "resources/icons/$name differs from what icongen.py makes"
        status=1
    fi
done
for kept in "$src"/resources/icons/*.ico; do
    name=$(basename "$kept")
    if [ ! -e "$out/$name" ]; then
        echo "resources/icons/$name is not made by icongen.py"
        status=1
    fi
done
if ! cmp "$out/docs/status-icons.png" "$src/docs/status-icons.png"; then
    echo "docs/status-icons.png differs from what icongen.py --docs makes"
    status=1
fi
[ $status -eq 0 ] && echo "$(ls "$out"/*.ico | wc -l) icons and the docs picture match"
exit $status
