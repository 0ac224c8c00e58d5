#!/bin/sh
# Builds the release exe twice, from two copies of the tree at different
# paths into two different build directories, and fails unless the two exes
# are byte-for-byte the same. Also holds the exe to its footprint: at most
# 64 KiB and no DLL but Windows' own.
# Usage: check_reproducible.sh [SOURCE_DIR]   (exit 77: no cross compiler)
set -eu

src=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
limit=65536
cxx=x86_64-w64-mingw32-g++-posix

command -v "$cxx" >/dev/null 2>&1 || { echo "skipped: $cxx not found"; exit 77; }
command -v ninja >/dev/null 2>&1 || { echo "skipped: ninja not found"; exit 77; }

work=$(mktemp -d "${TMPDIR:-/tmp}/vimra-repro.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

build_copy() {
    # $1: a directory name that differs between the two builds, so that any
    # build path leaking into the exe shows up as a difference.
    root=$work/$1
    mkdir -p "$root/src"
    (cd "$src" && tar -cf - CMakeLists.txt cmake monitor platform tray resources tools) |
        tar -C "$root/src" -xf -
    "$root/src/tools/build-exe.sh" "$root/out" >/dev/null
}

build_copy a
build_copy second-build/deeper
one=$work/a/out/vimra.exe
two=$work/second-build/deeper/out/vimra.exe

status=0
if cmp "$one" "$two"; then
    echo "reproducible: $(sha256sum "$one" | cut -d' ' -f1)"
else
    echo "FAIL: the two builds differ"
    status=1
fi

size=$(wc -c <"$one")
echo "size: $size bytes (limit $limit)"
[ "$size" -le "$limit" ] || { echo "FAIL: exe larger than $limit bytes"; status=1; }

for dll in $(x86_64-w64-mingw32-objdump -p "$one" | awk '/DLL Name:/ {print $3}'); do
    case $(echo "$dll" | tr 'A-Z' 'a-z') in
    kernel32.dll | user32.dll | gdi32.dll | shell32.dll | advapi32.dll | iphlpapi.dll | \
        ws2_32.dll | msvcrt.dll | comctl32.dll | ole32.dll) echo "imports: $dll" ;;
    *) echo "FAIL: imports $dll, which is not part of Windows"; status=1 ;;
    esac
done

if grep -q "$work" "$one"; then
    echo "FAIL: the build path is embedded in the exe"
    status=1
fi
exit $status
