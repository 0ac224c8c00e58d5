#!/bin/sh
# Builds the release exe twice for each Windows architecture (x64 with
# mingw-w64's GCC, ARM64 with Debian's clang and the runtime that
# tools/arm64-toolchain.sh builds), from two copies of the tree at different
# paths into two different build directories, and fails unless the two exes
# of an architecture are byte-for-byte the same. Also holds each exe to its
# architecture (the COFF Machine field), its footprint (at most 40 KiB, no
# DLL but Windows' own) and its safety: no static import of a DLL that
# Windows would look for in the program's folder first, and the PE flags for
# ASLR, high-entropy addresses, NX and terminal servers; and the oldest
# Windows its header names (the OS and subsystem versions the loader reads),
# the one the README gives: 6.0, Vista, for x64 and 10.0 for ARM64. Prints
# the SHA-256, size, flags, Windows version and imports of each.
# Usage: check_reproducible.sh [SOURCE_DIR]   (exit 77: no x64 cross compiler)
# VIMRA_RELEASE_ARCHES: the architectures to check, default "x64 arm64".
# The first ARM64 run builds its toolchain, which takes minutes.
set -eu

src=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
arches=${VIMRA_RELEASE_ARCHES:-x64 arm64}
limit=40960

command -v ninja >/dev/null 2>&1 || { echo "skipped: ninja not found"; exit 77; }

work=$(mktemp -d "${TMPDIR:-/tmp}/vimra-repro.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

# Two directory names that differ between the builds, so that any build path
# leaking into an exe shows up as a difference.
copies="a second-build/deeper"
for copy in $copies; do
    mkdir -p "$work/$copy/src"
    (cd "$src" && tar -cf - CMakeLists.txt cmake monitor platform tray resources tools) |
        tar -C "$work/$copy/src" -xf -
done

status=0
skipped=""
fail() { echo "FAIL ($arch): $*"; status=1; }
for arch in $arches; do
    case $arch in
    x64) option="" cxx=x86_64-w64-mingw32-g++-posix objdump=x86_64-w64-mingw32-objdump
        wanted_windows=6.0 ;;
    # GNU objdump does not read ARM64 programs; LLVM's comes with the toolchain.
    arm64) option=--arm64 cxx="" objdump=llvm-objdump-19 wanted_windows=10.0 ;;
    *) echo "FAIL: unknown architecture $arch"; exit 1 ;;
    esac
    if [ -n "$cxx" ] && ! command -v "$cxx" >/dev/null 2>&1; then
        echo "$arch skipped: $cxx not found"
        skipped="$skipped $arch"
        continue
    fi
    for copy in $copies; do
        # shellcheck disable=SC2086
        "$work/$copy/src/tools/build-exe.sh" $option "$work/$copy/out-$arch" >/dev/null ||
            { fail "the build in $work/$copy failed"; continue 2; }
    done
    one=$work/a/out-$arch/vimra.exe
    two=$work/second-build/deeper/out-$arch/vimra.exe

    sha=$(sha256sum "$one" | cut -d' ' -f1)
    if cmp "$one" "$two"; then
        echo "$arch reproducible: $sha"
    else
        fail "the two builds differ"
    fi

    # The COFF Machine field, read as the release check of a download reads it.
    found=$(python3 -B "$src/tools/authenticode.py" machine "$one" 2>&1) || true
    echo "$arch machine: $found"
    [ "$found" = "$arch" ] || fail "machine $found, not $arch"

    size=$(wc -c <"$one")
    echo "$arch size: $size bytes (limit $limit)"
    [ "$size" -le "$limit" ] || fail "exe larger than $limit bytes"

    headers=$("$objdump" -p "$one") || { fail "$objdump cannot read the exe"; continue; }
    # HIGH_ENTROPY_VA 0x20, DYNAMIC_BASE 0x40, NX_COMPAT 0x100, TERMINAL_SERVER_AWARE 0x8000
    flags=$(echo "$headers" | awk '/^DllCharacteristics/ {print $2}')
    echo "$arch DllCharacteristics: 0x$flags"
    wanted=$((0x20 | 0x40 | 0x100 | 0x8000))
    [ $((0x${flags:-0} & wanted)) -eq $wanted ] || fail "PE flags lack some of 0x8160"

    # Both objdumps name the fields alike. A program whose header asks for a
    # newer Windows does not start on an older one, and one that names an
    # older Windows than it can run on fails there in ways nobody tested.
    version() { echo "$headers" | awk -v f="$1" '$1 == "Major" f {major = $2} $1 == "Minor" f {minor = $2}
        END {print major "." minor}'; }
    subsystem=$(version SubsystemVersion)
    os=$(version OSystemVersion)
    echo "$arch Windows version: subsystem $subsystem, OS $os"
    [ "$subsystem" = "$wanted_windows" ] && [ "$os" = "$wanted_windows" ] ||
        fail "the header names Windows $subsystem (OS $os), not $wanted_windows"

    dlls=$(echo "$headers" | awk '/DLL Name:/ {print $3}')
    [ -n "$dlls" ] || fail "no imports found"
    echo "$arch imports: $(echo $dlls)"
    for dll in $dlls; do
        case $(echo "$dll" | tr 'A-Z' 'a-z') in
        # KnownDLLs only: these always come from System32, wherever the exe lies.
        kernel32.dll | user32.dll | gdi32.dll | shell32.dll | advapi32.dll | ws2_32.dll | \
            msvcrt.dll | comctl32.dll | ole32.dll) ;;
        *) fail "imports $dll, which is not a KnownDLL" ;;
        esac
    done

    if grep -q "$work" "$one"; then
        fail "the build path is embedded in the exe"
    fi
done

[ $status -eq 0 ] && [ -n "$skipped" ] && exit 77
exit $status
