#!/bin/sh
# Builds the release exes and packs each into a zip with readme.txt, the
# user guide that opens README.md turned into plain text, and LICENSE.txt,
# both with CRLF line ends so Notepad on any Windows shows them right; plus
# a .sha256 beside each: dist/vimra-VERSION-win64.zip for x64 and
# dist/vimra-VERSION-win-arm64.zip for ARM64. An archive is the same bytes
# on every run from the same tree: fixed entry times and modes, a fixed
# order, and an exe that itself builds reproducibly.
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
python3 - "$root/README.md" "$root/LICENSE" "$@" <<'PY'
import os
import re
import sys
import zipfile

readme, licence = sys.argv[1:3]
# The zips to make and their programs, in pairs.
targets = dict(zip(sys.argv[3::2], sys.argv[4::2]))
# The user guide is README.md down to this line; what follows is for
# developers and stays out of the zip.
GUIDE_END = "<!-- readme.txt ends here -->"


def inline(text):
    text = re.sub(r"\[([^\]]*)\]\(([^)]*)\)", r"\1 (\2)", text)
    return text.replace("`", "").replace("**", "")


def table(rows):
    cells = [[inline(c.strip()) for c in r.strip().strip("|").split("|")] for r in rows]
    header, body = cells[0], [r for r in cells[1:] if not all(set(c) <= set("-: ") for c in r)]
    widths = [max(len(r[i]) for r in [header] + body) for i in range(len(header))]
    lines = [header, ["-" * w for w in widths]] + body
    return ["  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip() for r in lines]


def plain(markdown):
    """The guide in plain text: no pictures, marks or table pipes."""
    guide = markdown.split(GUIDE_END)[0]
    guide = re.sub(r"<!--.*?-->", "", guide, flags=re.S)
    # A paragraph with a picture is about that picture, which the text
    # cannot show: it goes whole, caption included.
    guide = "\n\n".join(p for p in guide.split("\n\n") if "![" not in p)
    out, rows = [], []
    for line in guide.split("\n") + [""]:
        if line.startswith("|"):
            rows.append(line)
            continue
        if rows:
            out += table(rows)
            rows = []
        heading = re.match(r"(#+) (.*)", line)
        if heading:
            text = heading.group(2)
            out += [text, ("=" if len(heading.group(1)) == 1 else "-") * len(text)]
            continue
        out.append(inline(line))
    text = re.sub(r"\n{3,}", "\n\n", "\n".join(out)).strip("\n") + "\n"
    return text


def crlf(text):
    return text.replace("\r\n", "\n").replace("\n", "\r\n").encode("utf-8")


with open(readme, encoding="utf-8") as f:
    guide = plain(f.read())
with open(licence, encoding="utf-8") as f:
    licence_text = f.read()

# Any fixed moment will do; this one is the year of the release.
stamp = (2026, 1, 1, 0, 0, 0)
for target, exe in targets.items():
    with open(exe, "rb") as f:
        program = f.read()
    entries = {"LICENSE.txt": crlf(licence_text), "readme.txt": crlf(guide), "vimra.exe": program}
    with zipfile.ZipFile(target + ".tmp", "w") as archive:
        for name in sorted(entries):
            entry = zipfile.ZipInfo(name, date_time=stamp)
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry.create_system = 3  # Unix, so the mode below is read
            entry.external_attr = 0o100644 << 16  # a regular file, rw-r--r--
            archive.writestr(entry, entries[name], compresslevel=9)
    os.replace(target + ".tmp", target)
PY
for zip in $zips; do
    (cd "$dist" && sha256sum "$zip" >"$zip.sha256")
    cat "$dist/$zip.sha256"
done
