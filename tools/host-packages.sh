#!/bin/sh
# Installs those of the given Debian packages that this machine lacks, as
# root or through sudo; what it does goes to stderr. Used by setup-debian.sh,
# the chroot lanes (wine-lane.sh) and the ARM64 toolchain (arm64-toolchain.sh).
#
#   tools/host-packages.sh PACKAGE...
set -eu
me=${0##*/}
cache=${VIMRA_CACHE:-/var/cache/vimra}
fail() { echo "$me: $*" >&2; exit 1; }

missing() {
  missing=""
  for package; do
    dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q ' ok installed$' ||
      missing="$missing $package"
  done
  [ -n "$missing" ]
}

missing "$@" || exit 0
# Root for the lock and apt, asked for only when something is missing.
[ "$(id -u)" -eq 0 ] || exec sudo "$0" "$@"
# The lanes and the toolchain may be set up at the same moment
# (tests/run-all.sh prepares them side by side) and would meet at apt's
# locks, and apt-get update does not wait for its lock as install can be
# told to: one lock for every install of the project's on this machine.
mkdir -p "$cache"
exec 8>"$cache/host-packages.lock"
flock -w 1200 8 || fail "waited 20 minutes for another install on this machine"
# The install that held the lock may have brought them.
missing "$@" || exit 0
echo "$me: installing on this machine:$missing" >&2
# In C, apt says the words the loop below matches; $apt splits on purpose.
apt="env DEBIAN_FRONTEND=noninteractive LC_ALL=C apt-get -o DPkg::Lock::Timeout=300"
# shellcheck disable=SC2086
for try in 1 2 3 4 5 6 7 8 9 10; do
  out=$(timeout 600 $apt update -qq 2>&1) && break
  case $out in *"Could not get lock"*) [ "$try" -lt 10 ] && sleep 15 && continue ;; esac
  echo "$out" >&2
  fail "apt-get update failed"
done
# To a file: a pipe would cut dpkg off half-way if this script is stopped.
# shellcheck disable=SC2086
timeout 1200 $apt install -y -qq --no-install-recommends $missing >"$cache/host-packages.log" 2>&1 ||
  { cat "$cache/host-packages.log" >&2; fail "could not install$missing"; }
