#!/bin/sh
# Makes sure the Windows ARM64 cross toolchain exists and prints its
# directory as the last line of output; progress goes to stderr.
#
# Debian has clang, lld and the LLVM tools for every target but no ARM64
# Windows runtime, so the runtime is built here from Debian's own source
# packages, the very versions of the installed mingw-w64 headers and of
# clang-19: mingw-w64's headers and crt; compiler-rt's builtins (the crt's
# pseudo-relocation code calls __chkstk, which only they provide); and a
# static libunwind, libc++abi and libc++, which the program does not link
# but GoogleTest does. Wrappers in the llvm-mingw style
# (bin/aarch64-w64-mingw32-clang, -clang++, -windres, ...) tie them together
# for cmake/llvm-mingw-aarch64.cmake.
#
# It is kept in ${VIMRA_CACHE:-/var/cache/vimra}/arm64-toolchain-KEY, outside
# any clone, so every clone on the machine shares one build; KEY is a digest
# of the compiler, linker and tool versions, the two source versions and the
# recipe below, so a change to any of them makes a new one. It is built aside and
# renamed into place only when complete, under a lock: an interrupted build
# never looks finished and concurrent callers wait for one build.
#
# The first run downloads about 180 MB and builds for 3 to 8 minutes on 2
# cores, idle or busy; later runs return at once. It installs what it lacks
# with apt, so it runs as root or with sudo.
set -eu

self=$(readlink -f "$0")
root=$(cd "$(dirname "$self")/.." && pwd)
cache=${VIMRA_CACHE:-/var/cache/vimra}
llvm=/usr/lib/llvm-19/bin
triple=aarch64-w64-mingw32

# The compiler, linker and LLVM tools; GNU windres, which reads resource
# scripts that llvm-rc rejects; mingw-w64-common so the headers' version is
# known; and what fetching and building the sources takes.
packages="clang-19 lld-19 llvm-19 binutils-mingw-w64-x86-64 mingw-w64-common
  dpkg-dev xz-utils bzip2 make cmake ninja-build python3"

say() { echo "arm64-toolchain: $*" >&2; }
die() { say "$*"; exit 1; }

# What the toolchain is made of, one line each; its digest names the directory.
manifest() {
    dpkg-query -W -f='${Package} ${Version}\n' clang-19 lld-19 llvm-19 binutils-mingw-w64-x86-64
    dpkg-query -W -f='source ${source:Package} ${source:Version}\n' mingw-w64-common clang-19
    # The recipe is the script from its sources on: a change to how the
    # toolchain is made makes a new one, one to how this script waits or
    # installs does not.
    echo "recipe $(sed -n '/^# ---- Sources/,$p' "$self" | sha256sum | cut -d' ' -f1)"
}

# shellcheck disable=SC2086
"$root/tools/host-packages.sh" $packages || die "could not install what the toolchain needs"
dir=$cache/arm64-toolchain-$(manifest | sha256sum | cut -c1-16)
# A complete toolchain is only ever there by a rename, so its presence is enough.
found() { [ -d "$dir" ] && echo "$dir"; }
found && exit 0

mkdir -p "$cache"
exec 9>"$cache/arm64-toolchain.lock"
if ! flock -n 9; then
    say "another run is building the toolchain; waiting for it"
    flock -w 1800 9 || die "gave up waiting for $cache/arm64-toolchain.lock"
fi
found && exit 0

# Whoever holds the lock is the only builder: any half-built directory left
# is from a run that was killed.
rm -rf "$cache"/.arm64-toolchain-*
tmp=$(mktemp -d "$cache/.$(basename "$dir").XXXXXX")
child=""
trap 'rm -rf "$tmp"' EXIT
# timeout runs each step in a process group of its own, out of reach of a
# Ctrl-C; so a signal here ends the step's group before the cleanup above.
trap '[ -z "$child" ] || { kill -TERM "$child" 2>/dev/null; wait "$child"; }; exit 130' INT TERM
tc=$tmp/tc
work=$tmp/work
log=$tmp/build.log
mkdir -p "$tc/bin" "$tc/sysroot" "$work"
start=$(date +%s)
phase_start=$start

phase() {
    now=$(date +%s)
    say "$1 ($((now - phase_start)) s)"
    phase_start=$now
}

# try LIMIT DIR COMMAND...: in DIR, bounded in time, output to the log. It
# runs in the background so that a signal is taken at once.
try() {
    limit=$1 in=$2
    shift 2
    (cd "$in" && exec timeout "$limit" "$@") >>"$log" 2>&1 &
    child=$!
    wait "$child" && child="" || { child=""; return 1; }
}

run() { try "$@" || { tail -n 40 "$log" >&2; shift 2; die "failed: $*"; }; }

jobs=$(nproc)

# ---- Sources --------------------------------------------------------------
# Debian's source packages through a private apt configuration, so the
# machine's own apt sources and lists stay as they are, from the suites its
# packages come from: one updated through -updates or the security archive
# has its source there alone. apt depends on Debian's keyring.
mingw_version=$(dpkg-query -W -f='${source:Version}' mingw-w64-common)
llvm_version=$(dpkg-query -W -f='${source:Version}' clang-19)
suites=$("$root/tools/debian-mirror.sh" --suites)
apt_dir=$tmp/apt
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/files"
echo "$suites" | sed 's|^|deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] |; s|$| main|' \
    >"$apt_dir/sources.list"
# apt fetches as _apt where it can write, as root with a warning elsewhere.
chmod 755 "$tmp"
id _apt >/dev/null 2>&1 && chown _apt "$apt_dir/lists/partial" "$apt_dir/files"
set -- -o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null \
    -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache"
# A failed fetch (an error for update too, which alone only warns of it) may
# pass a minute later: three tries. A version the index lacks is told apart first.
fetch() { try "$@" || { sleep 20 && try "$@"; } || { sleep 60 && run "$@"; }; }
fetch 300 "$apt_dir" apt-get -q --error-on=any "$@" update
wanted="mingw-w64=$mingw_version llvm-toolchain-19=$llvm_version"
# shellcheck disable=SC2086
try 60 "$apt_dir" apt-get -q "$@" source --print-uris $wanted || {
    tail -n 20 "$log" >&2
    die "no Debian suite of this machine has mingw-w64 $mingw_version or llvm-toolchain-19 $llvm_version" \
        "source; bring the installed ones up to date (apt-get install --only-upgrade" \
        "clang-19 lld-19 llvm-19 mingw-w64-common) and run this again"
}
# shellcheck disable=SC2086
fetch 900 "$apt_dir/files" apt-get -q "$@" source --download-only $wanted
phase "sources mingw-w64 $mingw_version, llvm-toolchain-19 $llvm_version"

# File names carry the version without its epoch.
dsc_name() { echo "$apt_dir/files/${1}_${2#*:}.dsc"; }
# dpkg-source applies Debian's patches; apt has already checked the files
# against the signed archive index.
run 300 "$work" dpkg-source --no-check -x "$(dsc_name mingw-w64 "$mingw_version")" mingw
# Of LLVM's 2 GB only the runtimes are needed, and Debian's patches are for
# the compiler; the upstream tarball is unpacked in part.
llvm_orig=$(sed -n 's/^ [0-9a-f]\{64\} [0-9]* \(llvm-toolchain-19_[^ ]*\.orig\.tar\.[a-z0-9]*\)$/\1/p' \
    "$(dsc_name llvm-toolchain-19 "$llvm_version")" | head -n 1)
[ -n "$llvm_orig" ] || die "no upstream tarball named in the llvm-toolchain-19 .dsc"
top=$(tar -tf "$apt_dir/files/$llvm_orig" | head -n 1)
top=${top%%/*}
mkdir -p "$work/llvm"
run 600 "$work" tar -xf "$apt_dir/files/$llvm_orig" -C "$work/llvm" --strip-components=1 \
    "$top/cmake" "$top/compiler-rt" "$top/runtimes" "$top/libcxx" "$top/libcxxabi" \
    "$top/libunwind" "$top/llvm/cmake" "$top/llvm/utils"
phase "sources unpacked"

# ---- Wrappers -------------------------------------------------------------
# They find the toolchain from their own place, so it works wherever it lies
# (it is built here and renamed into place).
cat >"$tc/bin/$triple-clang" <<EOF
#!/bin/sh
# clang for Windows on ARM64 with the runtime built beside it.
top=\$(dirname "\$(dirname "\$(readlink -f "\$0")")")
case \$0 in
*++) set -- -stdlib=libc++ "\$@"; driver=$llvm/clang++ ;;
*) driver=$llvm/clang ;;
esac
# The link-only choices go unremarked in compile-only runs.
exec "\$driver" --target=$triple --sysroot="\$top/sysroot" -resource-dir="\$top/clang" \\
  --start-no-unused-arguments -rtlib=compiler-rt -unwindlib=libunwind -fuse-ld=lld \\
  --end-no-unused-arguments "\$@"
EOF
chmod +x "$tc/bin/$triple-clang"
ln -s "$triple-clang" "$tc/bin/$triple-clang++"
for tool in ar ranlib nm dlltool objcopy objdump strip readobj strings size; do
    ln -s "$llvm/llvm-$tool" "$tc/bin/$triple-$tool"
done
ln -s "$llvm/ld.lld" "$tc/bin/$triple-ld"

# llvm-rc refuses the ASCII accelerators with ALT that the resource script
# has (Microsoft's rc and GNU windres take them), and GNU windres writes x86
# objects only; so GNU windres makes a .res, with this clang as its
# preprocessor, and llvm-windres turns that into an ARM64 object. CMake
# calls it as windres: [options] SOURCE OBJECT.
cat >"$tc/bin/$triple-windres" <<EOF
#!/bin/sh
# windres for Windows on ARM64: GNU windres reads, llvm-windres writes.
set -eu
bin=\$(dirname "\$(readlink -f "\$0")")
[ \$# -ge 2 ] || { echo "usage: \$0 [options] INPUT.rc OUTPUT.o" >&2; exit 2; }
n=\$#
i=0
for arg do
  i=\$((i + 1))
  [ \$i -eq 1 ] && set --
  if [ \$i -eq \$n ]; then out=\$arg; else set -- "\$@" "\$arg"; fi
done
x86_64-w64-mingw32-windres --preprocessor="\$bin/$triple-clang" \\
  --preprocessor-arg=-E --preprocessor-arg=-xc --preprocessor-arg=-DRC_INVOKED \\
  "\$@" -O res "\$out.res"
$llvm/llvm-windres --target=$triple -O coff "\$out.res" "\$out"
rm -f "\$out.res"
EOF
chmod +x "$tc/bin/$triple-windres"
export PATH="$tc/bin:$PATH"

# Clang's own headers, and beside them the builtins made below.
mkdir -p "$tc/clang"
cp -a "$("$llvm/clang" -print-resource-dir)/include" "$tc/clang/include"

# Build paths stay out of every object: the runtime is linked into the
# program, whose bytes must not depend on where this was built.
flags="-O2 -ffile-prefix-map=$tmp=/arm64-toolchain"

# ---- mingw-w64 headers and crt --------------------------------------------
# As Debian configures them for x86_64 (msvcrt.dll, the default Windows
# version), for ARM64 alone.
mkdir -p "$work/headers" "$work/crt"
run 300 "$work/headers" "$work/mingw/mingw-w64-headers/configure" --host=$triple \
    --prefix="$tc/sysroot"
run 300 "$work/headers" make install
run 300 "$work/crt" "$work/mingw/mingw-w64-crt/configure" --host=$triple \
    --prefix="$tc/sysroot" --disable-lib32 --disable-lib64 --enable-libarm64 \
    CC="$triple-clang" AR=$triple-ar RANLIB=$triple-ranlib DLLTOOL=$triple-dlltool \
    NM=$triple-nm CFLAGS="$flags"
run 1200 "$work/crt" make -j"$jobs"
run 300 "$work/crt" make install
phase "mingw-w64 headers and crt"

# ---- compiler-rt builtins -------------------------------------------------
# Nothing can link yet, hence the compiler checks are skipped.
common="-G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_SYSTEM_NAME=Windows
  -DCMAKE_SYSTEM_PROCESSOR=aarch64 -DCMAKE_C_COMPILER_WORKS=ON -DCMAKE_CXX_COMPILER_WORKS=ON
  -DCMAKE_AR=$tc/bin/$triple-ar -DCMAKE_RANLIB=$tc/bin/$triple-ranlib"
# shellcheck disable=SC2086
run 300 "$work" cmake -S "$work/llvm/compiler-rt/lib/builtins" -B "$work/builtins" $common \
    -DCMAKE_C_COMPILER="$triple-clang" -DCMAKE_C_COMPILER_TARGET=aarch64-w64-windows-gnu \
    -DCMAKE_ASM_COMPILER="$triple-clang" -DCMAKE_ASM_COMPILER_TARGET=aarch64-w64-windows-gnu \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_ASM_FLAGS="$flags" \
    -DCMAKE_INSTALL_PREFIX="$tc/clang" -DCOMPILER_RT_DEFAULT_TARGET_ONLY=ON \
    -DCOMPILER_RT_BUILD_BUILTINS=ON -DCOMPILER_RT_EXCLUDE_ATOMIC_BUILTIN=OFF \
    -DLLVM_CONFIG_PATH=
run 600 "$work" cmake --build "$work/builtins" --target install
phase "compiler-rt builtins"

# ---- libunwind, libc++abi, libc++ -----------------------------------------
# shellcheck disable=SC2086
run 300 "$work" cmake -S "$work/llvm/runtimes" -B "$work/runtimes" $common \
    -DCMAKE_C_COMPILER="$triple-clang" -DCMAKE_CXX_COMPILER="$triple-clang++" \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_INSTALL_PREFIX="$tc/sysroot" \
    -DLLVM_ENABLE_RUNTIMES="libunwind;libcxxabi;libcxx" \
    -DLIBUNWIND_USE_COMPILER_RT=ON -DLIBUNWIND_ENABLE_SHARED=OFF \
    -DLIBCXXABI_USE_COMPILER_RT=ON -DLIBCXXABI_USE_LLVM_UNWINDER=ON \
    -DLIBCXXABI_ENABLE_SHARED=OFF \
    -DLIBCXX_USE_COMPILER_RT=ON -DLIBCXX_ENABLE_SHARED=OFF -DLIBCXX_CXX_ABI=libcxxabi \
    -DLIBCXX_ENABLE_STATIC_ABI_LIBRARY=ON -DLIBCXX_INCLUDE_BENCHMARKS=OFF \
    -DLIBCXX_INCLUDE_TESTS=OFF -DLIBCXXABI_INCLUDE_TESTS=OFF -DLIBUNWIND_INCLUDE_TESTS=OFF \
    -DLIBCXX_ENABLE_ABI_LINKER_SCRIPT=OFF -DLLVM_INCLUDE_TESTS=OFF -DLLVM_INCLUDE_DOCS=OFF
run 1800 "$work" cmake --build "$work/runtimes" --target install
phase "libunwind, libc++abi and libc++"

# ---- Check and put in place -----------------------------------------------
# A C++ program using the library, with a resource script of the kind
# llvm-rc alone would refuse, must link.
printf '#include <string>\nint main(int argc, char **) { return std::to_string(argc).size() == 1 ? 0 : 1; }\n' \
    >"$work/probe.cpp"
printf '#include <windows.h>\n1 ACCELERATORS\nBEGIN\n    "?", 1, ASCII, ALT\nEND\n' >"$work/probe.rc"
run 120 "$work" "$triple-windres" -O coff probe.rc probe-rc.o
run 120 "$work" "$triple-clang++" -O2 -static probe.cpp probe-rc.o -o probe.exe
manifest >"$tc/VERSIONS"
mv "$tc" "$dir"
say "ready in $(($(date +%s) - start)) s: $dir"
echo "$dir"
