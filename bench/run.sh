#!/bin/sh
# Measures the release exe under Wine and Xvfb: size and imports, CPU and
# memory next to Wine's ping and an idle program, start and Exit times, and
# the echo requests it sends to a test host that answers and one that does
# not. Needs root for the namespace test host.
#
#   bench/run.sh            60 s windows, 5 start/Exit runs
#   bench/run.sh --quick    10 s windows, 3 runs (smoke test)
#   bench/run.sh --soak     10 minutes against a silent and an answering host
#
# VIMRA_BENCH_DIR holds the builds and the Wine prefixes (default build/bench).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
dir=${VIMRA_BENCH_DIR:-$root/build/bench}
cross=x86_64-w64-mingw32-g++-posix

seconds=60 settle=5 runs=5 soak=0
for arg in "$@"; do
    case $arg in
    --quick) seconds=10 settle=3 runs=3 ;;
    --soak) soak=600 ;;
    *) echo "usage: $0 [--quick] [--soak]" >&2; exit 2 ;;
    esac
done
# A quick soak is a smoke test of the soak itself.
[ "$soak" -gt 0 ] && [ "$seconds" -eq 10 ] && soak=60

for tool in cmake ninja $cross wine Xvfb xdotool /usr/bin/import; do
    command -v "$tool" >/dev/null 2>&1 || { echo "bench: $tool is missing" >&2; exit 1; }
done

mkdir -p "$dir"
echo "building into $dir ..."
"$root/tools/build-exe.sh" "$dir/win" >/dev/null
$cross -std=c++17 -Wall -Wextra -Os -s -static -municode -mwindows \
    -o "$dir/idle.exe" "$here/idle.cpp"
$cross -std=c++17 -Wall -Wextra -Os -s -static -municode \
    -o "$dir/wininfo.exe" "$here/wininfo.cpp" -lntdll

exec /usr/bin/python3 "$here/bench.py" \
    --exe "$dir/win/vimra.exe" --idle "$dir/idle.exe" --wininfo "$dir/wininfo.exe" \
    --prefixes "${VIMRA_BENCH_PREFIXES:-$dir/wine}" \
    --seconds "$seconds" --settle "$settle" --runs "$runs" --soak-seconds "$soak"
