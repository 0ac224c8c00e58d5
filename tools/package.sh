#!/bin/sh
# Builds the release exe and packs it with README.md and LICENSE into
# dist/vimra-VERSION-win64.zip, plus a .sha256 beside it. The archive is the
# same bytes on every run from the same tree: fixed entry times and modes,
# a fixed order, and an exe that itself builds reproducibly.
#
# VIMRA_PACKAGE_BUILD: build directory (default build/package)
# VIMRA_DIST: output directory (default dist)
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${VIMRA_PACKAGE_BUILD:-$root/build/package}
dist=${VIMRA_DIST:-$root/dist}

# The version block of the resource script is the one place it is written.
version=$(sed -n 's/.*VALUE "FileVersion", "\([0-9.]*\)".*/\1/p' "$root/resources/vimra.rc")
[ -n "$version" ] || { echo "package: no FileVersion in resources/vimra.rc" >&2; exit 1; }

exe=$("$root/tools/build-exe.sh" "$build")

mkdir -p "$dist"
zip="$dist/vimra-$version-win64.zip"
python3 - "$zip" "$exe" "$root/README.md" "$root/LICENSE" <<'PY'
import os
import sys
import zipfile

target, *files = sys.argv[1:]
# Any fixed moment will do; this one is the year of the release.
stamp = (2026, 1, 1, 0, 0, 0)
with zipfile.ZipFile(target + ".tmp", "w") as archive:
    for path in sorted(files, key=os.path.basename):
        entry = zipfile.ZipInfo(os.path.basename(path), date_time=stamp)
        entry.compress_type = zipfile.ZIP_DEFLATED
        entry.create_system = 3  # Unix, so the mode below is read
        entry.external_attr = 0o100644 << 16  # a regular file, rw-r--r--
        with open(path, "rb") as f:
            archive.writestr(entry, f.read(), compresslevel=9)
os.replace(target + ".tmp", target)
PY
(cd "$dist" && sha256sum "$(basename "$zip")" >"$(basename "$zip").sha256")
cat "$zip.sha256"
