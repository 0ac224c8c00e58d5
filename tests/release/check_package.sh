#!/bin/sh
# Makes the release zip with tools/package.sh, twice, and checks what a user
# unpacks: exactly vimra.exe, readme.txt and LICENSE.txt; the two texts in
# CRLF lines with no bare LF, and readme.txt free of Markdown marks; the
# exe the very bytes the build made; the .sha256 true to the zip; and the
# second zip the same bytes as the first.
# Usage: check_package.sh SOURCE_DIR SCRATCH_DIR   (exit 77: no cross compiler)
set -eu

src=$1
work=$2
for tool in x86_64-w64-mingw32-g++-posix ninja; do
    command -v "$tool" >/dev/null 2>&1 || { echo "skipped: $tool not found"; exit 77; }
done

export VIMRA_PACKAGE_BUILD="$work/build" VIMRA_DIST="$work/dist"
rm -rf "$VIMRA_DIST" "$work/unpacked"
"$src/tools/package.sh" >/dev/null
set -- "$VIMRA_DIST"/vimra-*-win64.zip
[ $# -eq 1 ] && [ -f "$1" ] || { echo "FAIL: no single zip in $VIMRA_DIST"; exit 1; }
zip=$1
first=$(sha256sum "$zip" | cut -d' ' -f1)

status=0
fail() { echo "FAIL: $*"; status=1; }

python3 - "$zip" "$work/unpacked" <<'PY' || status=1
import sys
import zipfile

archive, into = sys.argv[1:]
with zipfile.ZipFile(archive) as z:
    names = sorted(z.namelist())
    z.extractall(into)
if names != ["LICENSE.txt", "readme.txt", "vimra.exe"]:
    sys.exit("FAIL: the zip holds %s" % ", ".join(names))
print("listing: " + ", ".join(names))
PY
for text in readme.txt LICENSE.txt; do
    file=$work/unpacked/$text
    [ -s "$file" ] || { fail "$text is missing or empty"; continue; }
    # Every LF must follow a CR: count LFs, then CR LF pairs.
    lf=$(tr -cd '\n' <"$file" | wc -c)
    crlf=$(grep -c "$(printf '\r')\$" "$file" || true)
    [ "$lf" -gt 0 ] && [ "$lf" -eq "$crlf" ] || fail "$text: $lf lines, $crlf of them end in CR LF"
done
if grep -n -e '!\[' -e '](' -e '`' -e '<!--' -e '^|' "$work/unpacked/readme.txt"; then
    fail "readme.txt keeps Markdown marks (lines above)"
fi
cmp "$work/unpacked/vimra.exe" "$VIMRA_PACKAGE_BUILD/vimra.exe" ||
    fail "vimra.exe in the zip is not the exe the build made"
(cd "$VIMRA_DIST" && sha256sum -c --quiet "$(basename "$zip").sha256") ||
    fail "the .sha256 does not match the zip"

"$src/tools/package.sh" >/dev/null
[ "$(sha256sum "$zip" | cut -d' ' -f1)" = "$first" ] || fail "a second run made a different zip"

[ $status -eq 0 ] && echo "package: $(basename "$zip") $first"
exit $status
