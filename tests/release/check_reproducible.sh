#!/bin/sh
# Builds the release exe twice, from two copies of the tree at different
# paths into two different build directories, and fails unless the two exes
# are byte-for-byte the same. Also holds the exe to its footprint (at most
# 40 KiB, no DLL but Windows' own) and to its safety: no static import of a
# DLL that Windows would look for in the program's folder first, and the
# PE flags for ASLR, high-entropy addresses, NX and terminal servers.
# Usage: check_reproducible.sh [SOURCE_DIR]   (exit 77: no cross compiler)
set -eu

src=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
limit=40960
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
    # KnownDLLs only: these always come from System32, wherever the exe lies.
    kernel32.dll | user32.dll | gdi32.dll | shell32.dll | advapi32.dll | ws2_32.dll | \
        msvcrt.dll | comctl32.dll | ole32.dll) echo "imports: $dll" ;;
    *) echo "FAIL: imports $dll, which is not a KnownDLL"; status=1 ;;
    esac
done

# HIGH_ENTROPY_VA 0x20, DYNAMIC_BASE 0x40, NX_COMPAT 0x100, TERMINAL_SERVER_AWARE 0x8000
flags=$(x86_64-w64-mingw32-objdump -p "$one" | awk '/^DllCharacteristics/ {print $2}')
echo "DllCharacteristics: 0x$flags"
wanted=$((0x20 | 0x40 | 0x100 | 0x8000))
[ $((0x${flags:-0} & wanted)) -eq $wanted ] || { echo "FAIL: PE flags lack some of 0x8160"; status=1; }

if grep -q "$work" "$one"; then
    echo "FAIL: the build path is embedded in the exe"
    status=1
fi
exit $status
