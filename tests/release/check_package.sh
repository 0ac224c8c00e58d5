#!/bin/sh
# Makes the release zips with tools/package.sh, twice, and checks in each
# what a user unpacks: exactly vimra.exe, readme.txt and LICENSE.txt; the
# two texts in CRLF lines with no bare LF, readme.txt free of Markdown marks,
# and both the same in every zip; the exe the very bytes the build of its
# architecture made; the .sha256 true to the zip; and the second zip the same
# bytes as the first.
# Usage: check_package.sh SOURCE_DIR SCRATCH_DIR   (exit 77: no cross compiler)
# VIMRA_PACKAGE_ARCHES: the zips to make and check, default "x64 arm64".
set -eu

src=$1
work=$2
for tool in x86_64-w64-mingw32-g++-posix ninja; do
    command -v "$tool" >/dev/null 2>&1 || { echo "skipped: $tool not found"; exit 77; }
done

export VIMRA_PACKAGE_ARCHES="${VIMRA_PACKAGE_ARCHES:-x64 arm64}"
export VIMRA_PACKAGE_BUILD="$work/build" VIMRA_DIST="$work/dist"
rm -rf "$VIMRA_DIST" "$work/unpacked"
"$src/tools/package.sh" >/dev/null

status=0
fail() { echo "FAIL: $*"; status=1; }

zips="" firsts="" texts_from=""
for arch in $VIMRA_PACKAGE_ARCHES; do
    # The zip's name and the build directory tools/package.sh gives each.
    case $arch in
    x64) suffix=win64 build=$VIMRA_PACKAGE_BUILD/win64 ;;
    arm64) suffix=win-arm64 build=$VIMRA_PACKAGE_BUILD/arm64 ;;
    *) echo "FAIL: unknown architecture $arch"; exit 1 ;;
    esac
    set -- "$VIMRA_DIST"/vimra-*-"$suffix".zip
    [ $# -eq 1 ] && [ -f "$1" ] || { fail "no single $suffix zip in $VIMRA_DIST"; continue; }
    zip=$1
    name=$(basename "$zip")
    unpacked=$work/unpacked/$suffix
    zips="$zips $zip"
    firsts="$firsts $(sha256sum "$zip" | cut -d' ' -f1)"

    python3 - "$zip" "$unpacked" <<'PY' || status=1
import os
import sys
import zipfile

archive, into = sys.argv[1:]
with zipfile.ZipFile(archive) as z:
    names = sorted(z.namelist())
    z.extractall(into)
if names != ["LICENSE.txt", "readme.txt", "vimra.exe"]:
    sys.exit("FAIL: %s holds %s" % (os.path.basename(archive), ", ".join(names)))
print("%s: %s" % (os.path.basename(archive), ", ".join(names)))
PY
    for text in readme.txt LICENSE.txt; do
        file=$unpacked/$text
        [ -s "$file" ] || { fail "$name: $text is missing or empty"; continue; }
        # Every LF must follow a CR: count LFs, then CR LF pairs.
        lf=$(tr -cd '\n' <"$file" | wc -c)
        crlf=$(grep -c "$(printf '\r')\$" "$file" || true)
        [ "$lf" -gt 0 ] && [ "$lf" -eq "$crlf" ] ||
            fail "$name: $text: $lf lines, $crlf of them end in CR LF"
        if [ -n "$texts_from" ]; then
            cmp -s "$file" "$texts_from/$text" || fail "$name: $text differs from the other zip's"
        fi
    done
    [ -n "$texts_from" ] || texts_from=$unpacked
    if grep -n -e '!\[' -e '](' -e '`' -e '<!--' -e '^|' "$unpacked/readme.txt"; then
        fail "$name: readme.txt keeps Markdown marks (lines above)"
    fi
    cmp "$unpacked/vimra.exe" "$build/vimra.exe" ||
        fail "$name: vimra.exe is not the exe the $arch build made"
    (cd "$VIMRA_DIST" && sha256sum -c --quiet "$name.sha256") ||
        fail "$name: the .sha256 does not match the zip"
done

"$src/tools/package.sh" >/dev/null
# shellcheck disable=SC2086
set -- $firsts
for zip in $zips; do
    [ "$(sha256sum "$zip" | cut -d' ' -f1)" = "$1" ] ||
        fail "a second run made a different $(basename "$zip")"
    [ $status -eq 0 ] && echo "package: $(basename "$zip") $1"
    shift
done
exit $status
