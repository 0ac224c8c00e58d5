#!/bin/sh
# Builds the release exe of one Windows architecture twice (x64 with
# mingw-w64's GCC, ARM64 with Debian's clang and the runtime that
# tools/arm64-toolchain.sh builds), from two copies of the tree at different
# paths into two different build directories, and fails unless the two exes
# are byte-for-byte the same. Also holds the exe, as tools/release.py reads
# its headers, to its architecture (the COFF Machine field), its footprint
# (at most 40 KiB) and its safety: its imports exactly the five KnownDLLs,
# none a DLL that Windows would look for in the program's folder first; the PE
# flags for ASLR, high-entropy addresses, NX and terminal servers; and the
# oldest Windows its header names (the OS and subsystem versions the loader
# reads), the one the README gives: 6.0, Vista, for x64 and 10.0 for ARM64.
# Prints the SHA-256, size, flags, Windows version and imports.
# Usage: check_reproducible.sh SOURCE_DIR ARCH   (exit 77: no x64 cross compiler)
set -eu

src=$1
arch=$2
limit=40960
case $arch in
x64) tools="ninja x86_64-w64-mingw32-g++-posix" windows=6.0 ;;
# The ARM64 compiler comes with the toolchain that the build makes.
arm64) tools=ninja windows=10.0 ;;
*) echo "FAIL: unknown architecture $arch"; exit 1 ;;
esac
for tool in $tools; do
    command -v "$tool" >/dev/null 2>&1 || { echo "skipped: $tool not found"; exit 77; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/vimra-repro.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

status=0
fail() { echo "FAIL ($arch): $*"; status=1; }

# Two directory names that differ between the builds, so that any build path
# leaking into an exe shows up as a difference.
for copy in a second-build/deeper; do
    mkdir -p "$work/$copy/src"
    (cd "$src" && tar -cf - CMakeLists.txt cmake monitor platform tray resources tools) |
        tar -C "$work/$copy/src" -xf -
    "$work/$copy/src/tools/release.py" build "$arch" "$work/$copy/out" >/dev/null ||
        { echo "FAIL ($arch): the build in $work/$copy failed"; exit 1; }
done
one=$work/a/out/vimra.exe

sha=$(sha256sum "$one" | cut -d' ' -f1)
if cmp "$one" "$work/second-build/deeper/out/vimra.exe"; then
    echo "$arch reproducible: $sha"
else
    fail "the two builds differ"
fi

size=$(wc -c <"$one")
echo "$arch size: $size bytes (limit $limit)"
[ "$size" -le "$limit" ] || fail "exe larger than $limit bytes"

headers=$("$src/tools/release.py" describe "$one") || fail "its headers cannot be read"
echo "$headers" | sed "s/^/$arch /"
field() { echo "$headers" | sed -n "s/^$1 //p"; }

[ "$(field machine)" = "$arch" ] || fail "machine $(field machine), not $arch"

# HIGH_ENTROPY_VA 0x20, DYNAMIC_BASE 0x40, NX_COMPAT 0x100, TERMINAL_SERVER_AWARE 0x8000
wanted=$((0x20 | 0x40 | 0x100 | 0x8000))
flags=$(field flags)
[ $((${flags:-0} & wanted)) -eq $wanted ] || fail "PE flags lack some of 0x8160"

# A program whose header asks for a newer Windows does not start on an older
# one, and one that names an older Windows than it can run on fails there in
# ways nobody tested.
[ "$(field subsystem)" = "$windows" ] && [ "$(field os)" = "$windows" ] ||
    fail "the header names Windows $(field subsystem) (OS $(field os)), not $windows"

# The five KnownDLLs the README names, always taken from System32, and no other.
dlls=$(field imports | tr 'A-Z ' 'a-z\n' | LC_ALL=C sort | tr '\n' ' ')
[ "$dlls" = "kernel32.dll msvcrt.dll shell32.dll user32.dll ws2_32.dll " ] ||
    fail "imports $dlls, not those five alone"

if grep -q "$work" "$one"; then
    fail "the build path is embedded in the exe"
fi
exit $status
