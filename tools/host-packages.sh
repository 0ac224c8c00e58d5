#!/bin/sh
# Installs those of the given Debian packages that this machine lacks, as
# root or through sudo; what it does goes to stderr. Used by the chroot
# lanes (tools/wine-lane.sh) and the ARM64 toolchain (tools/arm64-toolchain.sh).
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
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo -n"
apt="env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300"
# $sudo and $apt split into their words on purpose.
# shellcheck disable=SC2086
for try in 1 2 3 4 5 6 7 8 9 10; do
  out=$(timeout 600 $sudo $apt update -qq 2>&1) && break
  case $out in *"Could not get lock"*) [ "$try" -lt 10 ] && sleep 15 && continue ;; esac
  echo "$out" >&2
  fail "apt-get update failed"
done
# shellcheck disable=SC2086
out=$(timeout 1200 $sudo $apt install -y -qq --no-install-recommends $missing 2>&1) ||
  { echo "$out" >&2; fail "could not install$missing"; }
