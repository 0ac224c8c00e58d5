#!/bin/sh
# Builds the release exes and packs each into a zip with readme.txt and
# LICENSE.txt (tools/release-zip.py says how), plus a .sha256 beside each:
# dist/vimra-VERSION-win64.zip for x64 and dist/vimra-VERSION-win-arm64.zip
# for ARM64. An archive is the same bytes on every run from the same tree,
# its exe building reproducibly.
#
# VIMRA_PACKAGE_BUILD: build directory, with win64/ and arm64/ in it
#   (default build/package)
# VIMRA_DIST: output directory (default dist)
# VIMRA_PACKAGE_ARCHES: the zips to make (default "x64 arm64"); the first
#   ARM64 one builds its toolchain, which takes minutes
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${VIMRA_PACKAGE_BUILD:-$root/build/package}
dist=${VIMRA_DIST:-$root/dist}
arches=${VIMRA_PACKAGE_ARCHES:-x64 arm64}

# The version block of the resource script is the one place it is written.
version=$(sed -n 's/.*VALUE "FileVersion", "\([0-9.]*\)".*/\1/p' "$root/resources/vimra.rc")
[ -n "$version" ] || { echo "package: no FileVersion in resources/vimra.rc" >&2; exit 1; }

# ZIP EXE pairs for the packing below.
set --
zips=""
for arch in $arches; do
    case $arch in
    x64) suffix=win64 option="" ;;
    arm64) suffix=win-arm64 option=--arm64 ;;
    *) echo "package: unknown architecture $arch" >&2; exit 2 ;;
    esac
    # shellcheck disable=SC2086
    exe=$("$root/tools/build-exe.sh" $option "$build/${suffix#win-}")
    zips="$zips vimra-$version-$suffix.zip"
    set -- "$@" "$dist/vimra-$version-$suffix.zip" "$exe"
done

mkdir -p "$dist"
while [ $# -gt 0 ]; do
    python3 "$root/tools/release-zip.py" zip "$1" "$2"
    shift 2
done
for zip in $zips; do
    (cd "$dist" && sha256sum "$zip" >"$zip.sha256.tmp" && mv "$zip.sha256.tmp" "$zip.sha256")
    cat "$dist/$zip.sha256"
done
