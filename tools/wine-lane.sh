#!/bin/bash
# Runs a command under one of the Wines vimra is tested with:
#
#   tools/wine-lane.sh LANE [COMMAND [ARGS...]]
#
#   wine8   the machine's own Wine 8.0 (Debian 12, from tools/setup-debian.sh)
#   wine10  Wine 10.0 in a Debian 13 amd64 chroot
#   arm64   Debian 12's arm64 Wine 8.0 in an arm64 chroot, through qemu-user
#
# Without COMMAND it only makes sure the lane exists (the first time a chroot
# lane is used it is built, which takes minutes) and exits 0. With COMMAND
# (wine, wineserver, wineboot, ...) the script becomes COMMAND's process, so
# COMMAND's exit code is the script's and a signal sent to the script's pid
# reaches Wine. Errors of the lane itself exit 125, an unknown LANE 2.
#
# The chroot lanes need root. There COMMAND keeps the caller's environment but
# PATH, which names the chroot's directories and /usr/lib/wine. It sees the
# same paths as the caller for /tmp (X sockets, Xauthority files, temporary
# prefixes, wineserver sockets), the repository, $VIMRA_BUILD, every path of
# $VIMRA_LANE_BINDS (colon-separated), $XAUTHORITY, and the current directory
# unless it lies in a system directory. The mounts live in a mount namespace
# of the call's own, never on the machine, and go with its last process.
# A prefix's wineserver is started by the first call that needs it and keeps
# that call's view of the files, so give every call on one prefix the same
# VIMRA_BUILD and VIMRA_LANE_BINDS.
#
# Chroots are cached in ${VIMRA_CACHE:-/var/cache/vimra}/chroot-LANE-KEY, KEY
# naming the suite, the architecture, the packages and the setup code below.
set -eu

me=${0##*/}
fail() { echo "$me: $*" >&2; exit 125; }

lane=${1:-}
case $lane in
  wine8 | wine10 | arm64) shift ;;
  *)
    echo "usage: $me wine8|wine10|arm64 [COMMAND [ARGS...]]" >&2
    exit 2
    ;;
esac

if [ "$lane" = wine8 ]; then
  command -v wine >/dev/null || fail "no wine here: run tools/setup-debian.sh"
  [ $# -eq 0 ] && exit 0
  exec "$@"
fi

[ "$EUID" -eq 0 ] || fail "the $lane lane needs root (chroot and mounts)"
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)
repo=${here%/*}
cache=${VIMRA_CACHE:-/var/cache/vimra}

started=$SECONDS
say() { echo "$me: $lane: $* ($((SECONDS - started)) s)" >&2; }

host_packages() {
  "$here/host-packages.sh" "$@" || fail "could not install $*"
}

binfmt=/proc/sys/fs/binfmt_misc
# The arm64 lane's programs start through the kernel's binfmt_misc entry for
# qemu-aarch64; it can be missing after a reboot or disabled by anyone, so
# every call checks it (a read or two when all is well).
arm64_binfmt() {
  [ -e "$binfmt/status" ] || mount -t binfmt_misc binfmt_misc "$binfmt" ||
    fail "cannot mount binfmt_misc"
  if [ ! -e "$binfmt/qemu-aarch64" ]; then
    host_packages qemu-user-static binfmt-support
    update-binfmts --enable qemu-aarch64 >/dev/null 2>&1 || true
    [ -e "$binfmt/qemu-aarch64" ] || update-binfmts --import qemu-aarch64 >/dev/null 2>&1 || true
    [ -e "$binfmt/qemu-aarch64" ] || fail "no qemu-aarch64 entry in $binfmt"
  fi
  local state
  read -r state <"$binfmt/qemu-aarch64"
  [ "$state" = enabled ] || echo 1 >"$binfmt/qemu-aarch64" || fail "cannot enable qemu-aarch64 in $binfmt"
}

# Where the kernel finds the emulator when it does not hold it open (no F
# flag), empty when it does: then the chroot needs a copy at that path.
arm64_interpreter() {
  local line flags=""
  interpreter=""
  while read -r line; do
    case $line in
      interpreter\ *) interpreter=${line#interpreter } ;;
      flags:*) flags=${line#flags:} ;;
    esac
  done <"$binfmt/qemu-aarch64"
  case $flags in *F*) interpreter="" ;; esac
}

# A setup step runs as a process group of its own, its output in LOG, so that
# a setup that is stopped can stop all the step started before its tree is
# removed.
step_group=""
step() {
  local log=$1 status=0
  shift
  setsid "$@" >>"$log" 2>&1 &
  step_group=$!
  wait "$step_group" || status=$?
  step_group=""
  return "$status"
}
stop_setup() {
  local tries=0
  trap - INT TERM HUP
  if [ -n "$step_group" ]; then
    kill -TERM -- "-$step_group" 2>/dev/null || true
    while kill -0 -- "-$step_group" 2>/dev/null && [ "$tries" -lt 50 ]; do
      sleep 0.2
      tries=$((tries + 1))
    done
    kill -KILL -- "-$step_group" 2>/dev/null || true
  fi
  say "setup stopped"
  exit 143
}

# >>> setup: everything from here to the end marker is hashed into the chroot's
# name, so a change to it builds a new chroot instead of reusing the old one.
case $lane in
  wine10) suite=trixie arch=amd64 ;;
  arm64) suite=bookworm arch=arm64 ;;
esac
# wine (and wine64, which holds the 64-bit loader) with their dependencies and
# no recommends. The X extension libraries are recommends the machine's own
# Wine finds installed; having them here too keeps a difference between lanes
# Wine's own and not a missing library's. Fonts come from libfontconfig1's
# dependencies (DejaVu), as on the machine. procps gives ps and pgrep.
packages=(wine wine64 libxrender1 libxcursor1 libxi6 libxrandr2 libxinerama1 libxcomposite1
  libxfixes3 libxxf86vm1 procps)

setup_chroot() {
  local dir=$1 mirror interpreter
  mirror=$("$here/debian-mirror.sh") || fail "no Debian archive found"
  say "debootstrap $suite $arch from $mirror, first stage"
  # In a mount namespace of its own so that an interrupted debootstrap leaves
  # no mount behind on the machine.
  step "$dir.log" timeout 1200 unshare --mount --propagation private \
    debootstrap --foreign --variant=minbase --arch="$arch" "$suite" "$dir" "$mirror" ||
    { tail -20 "$dir.log" >&2; fail "debootstrap failed (log: $dir.log)"; }
  # Documentation and message translations are of no use to the lane (Wine
  # keeps its own texts in its DLLs) and are a tenth of its size; glibc reads
  # locale.alias.
  printf '%s\n' 'path-exclude=/usr/share/doc/*' 'path-exclude=/usr/share/man/*' \
    'path-exclude=/usr/share/info/*' 'path-exclude=/usr/share/locale/*' \
    'path-include=/usr/share/locale/locale.alias' >"$dir/etc/dpkg/dpkg.cfg.d/vimra-nodoc"
  if [ "$arch" = arm64 ]; then
    arm64_interpreter
    if [ -n "$interpreter" ]; then
      mkdir -p "$dir${interpreter%/*}"
      cp "$interpreter" "$dir$interpreter"
    fi
  fi
  say "debootstrap second stage"
  step "$dir.log" timeout 1800 unshare --mount --propagation private \
    chroot "$dir" /debootstrap/debootstrap --second-stage ||
    { tail -20 "$dir.log" >&2; fail "debootstrap second stage failed (log: $dir.log)"; }

  echo "deb $mirror $suite main" >"$dir/etc/apt/sources.list"
  # Nothing Wine looks up may reach a real resolver: the host name comes from
  # /etc/hosts (written on each call, as the name can change), anything else
  # goes to 127.0.0.1, where no resolver runs.
  rm -f "$dir/etc/resolv.conf"
  echo "nameserver 127.0.0.1" >"$dir/etc/resolv.conf"
  grep -q '^hosts:' "$dir/etc/nsswitch.conf" 2>/dev/null || echo "hosts: files dns" >>"$dir/etc/nsswitch.conf"
  printf '#!/bin/sh\nexit 101\n' >"$dir/usr/sbin/policy-rc.d"
  chmod +x "$dir/usr/sbin/policy-rc.d"

  say "installing ${packages[*]}"
  # apt alone may use the machine's resolver, through a bind mount that ends
  # with this step.
  # shellcheck disable=SC2016
  step "$dir.log" timeout 1800 unshare --mount --propagation private sh -c '
    set -e
    mount --bind /etc/resolv.conf "$1/etc/resolv.conf"
    mount -t proc proc "$1/proc"
    mount --rbind /dev "$1/dev"
    chroot "$1" /usr/bin/env DEBIAN_FRONTEND=noninteractive sh -c "
      apt-get update -qq &&
      apt-get install -y -qq --no-install-recommends $2 &&
      apt-get clean &&
      rm -rf /var/lib/apt/lists/*"' sh "$dir" "${packages[*]}" ||
    { tail -20 "$dir.log" >&2; fail "installing Wine failed (log: $dir.log)"; }
  rm -rf "$dir/debootstrap"
  # What the first stage unpacked before the exclusions applied.
  find "$dir/usr/share/doc" "$dir/usr/share/man" "$dir/usr/share/info" "$dir/usr/share/locale" \
    -mindepth 1 ! -type d ! -name locale.alias -delete 2>/dev/null || true
}
# <<< setup

script=$(<"${BASH_SOURCE[0]}")
setup=${script#*$'\n# >>> setup'}
key=$(sha256sum <<<"$suite $arch ${packages[*]}${setup%%$'\n# <<< setup'*}")
key=${key:0:12}
chroot=$cache/chroot-$lane-$key

[ "$lane" = arm64 ] && arm64_binfmt

if [ ! -d "$chroot" ]; then
  mkdir -p "$cache"
  exec 9>"$chroot.lock"
  flock -w 3600 9 || fail "waited an hour for another setup of $chroot"
  if [ ! -d "$chroot" ]; then
    say "setting up $chroot"
    host_packages debootstrap
    # Holding the lock, any half-built tree of this key is from a setup that
    # died; a finished one appears only by the rename below.
    rm -rf --one-file-system "$chroot".tmp.* "$chroot.log"
    tmp=$(mktemp -d "$chroot.tmp.XXXXXX")
    chmod 755 "$tmp"
    trap 'rm -rf --one-file-system "$tmp"' EXIT
    trap stop_setup INT TERM HUP
    setup_chroot "$tmp"
    mv "$tmp.log" "$chroot.log"
    mv "$tmp" "$chroot"
    trap - EXIT INT TERM HUP
    say "ready: $(du -sh --one-file-system "$chroot" | cut -f1)"
  fi
  exec 9>&-
fi

hosts=$'127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n127.0.0.1\t'"$HOSTNAME"
if [ ! -f "$chroot/etc/hosts" ] || [ "$(<"$chroot/etc/hosts")" != "$hosts" ]; then
  new=$(mktemp "$chroot/etc/.hosts.XXXXXX")
  echo "$hosts" >"$new"
  chmod 644 "$new"
  mv "$new" "$chroot/etc/hosts"
fi
if [ "$lane" = arm64 ]; then
  arm64_interpreter
  [ -z "$interpreter" ] || [ -x "$chroot$interpreter" ] ||
    { mkdir -p "$chroot${interpreter%/*}" && cp "$interpreter" "$chroot$interpreter"; }
fi

[ $# -eq 0 ] && exit 0

# The paths shared with the caller. One that lies inside another is seen
# through that one and gets no mount of its own.
wd=$(pwd -P) || fail "the current directory is gone"
candidates=(/tmp "$repo")
if [ -n "${VIMRA_BUILD:-}" ]; then
  [ -d "$VIMRA_BUILD" ] || mkdir -p "$VIMRA_BUILD"
  candidates+=("$(cd -P "$VIMRA_BUILD" && echo "$PWD")")
fi
IFS=: read -r -a extra <<<"${VIMRA_LANE_BINDS:-}"
for path in "${extra[@]}"; do
  [ -n "$path" ] || continue
  [ -e "$path" ] || fail "VIMRA_LANE_BINDS names $path, which does not exist"
  candidates+=("$(readlink -f "$path")")
done
# xvfb-run keeps its Xauthority in /tmp, seen already; a call spared is time
# spared on every call.
if [ -n "${XAUTHORITY:-}" ] && [ -f "$XAUTHORITY" ]; then
  case $XAUTHORITY in
    /tmp/*) [ ! -L "$XAUTHORITY" ] || candidates+=("$(readlink -f "$XAUTHORITY")") ;;
    *) candidates+=("$(readlink -f "$XAUTHORITY")") ;;
  esac
fi
# The current directory is shared too unless it lies in the chroot's own
# system, which a mount over it would break.
case $wd/ in
  / | /bin/* | /boot/* | /dev/* | /etc/* | /lib*/* | /proc/* | /run/* | /sbin/* | /sys/* | /usr/* | /var/*) ;;
  *) candidates+=("$wd") ;;
esac
binds=()
for ((i = 0; i < ${#candidates[@]}; i++)); do
  path=${candidates[i]}
  [ "$path" = / ] && fail "cannot share / with the chroot"
  for ((j = 0; j < ${#candidates[@]}; j++)); do
    other=${candidates[j]}
    [ "$other" = "$path" ] && { [ "$j" -lt "$i" ] && continue 2; continue; }
    case $path/ in "$other"/*) continue 2 ;; esac
  done
  binds+=("$path")
done
shared=no
for bound in "${binds[@]}"; do
  case $wd/ in "$bound"/*) shared=yes ;; esac
done
if [ "$shared" = no ]; then
  echo "$me: $lane: $wd is not shared with the chroot; running in /" >&2
  wd=/
fi

# All mounts of a call are made by one mount -a from a table of their own:
# starting mount once per path costs more than the rest of the call.
fstab_path() {
  local s=${1//\\/\\134}
  s=${s// /\\040}
  s=${s//$'\t'/\\011}
  fstab_field=${s//$'\n'/\\012}
}
fstab_path "$chroot"
root_field=$fstab_field
# The root as a mount point of its own lets tools inside that expect one
# (ip netns exec remounts /sys, for one) work as they do on a real system.
table="$root_field $root_field none bind 0 0
proc $root_field/proc proc nosuid,nodev,noexec 0 0
/sys $root_field/sys none rbind 0 0
/dev $root_field/dev none rbind 0 0
"
for path in "${binds[@]}"; do
  if [ -d "$path" ]; then
    options=rbind,X-mount.mkdir
  else
    [ -e "$chroot$path" ] || { mkdir -p "$chroot${path%/*}" && : >"$chroot$path"; }
    options=bind
  fi
  fstab_path "$path"
  table+="$fstab_field $root_field$fstab_field none $options 0 0
"
done
# mount reads its table from a file only, not from a pipe: it gets one open
# and already removed, so none is left in /tmp whatever becomes of the call.
fstab=$(mktemp /tmp/.wine-lane.XXXXXXXXXX)
exec {fd}<>"$fstab"
rm -f "$fstab"
printf '%s' "$table" >&"$fd"

# The caller's PATH names the machine's directories, not the chroot's. The
# wine package makes /usr/bin/wineserver only as an alternatives link to the
# one in /usr/lib/wine; that directory keeps the bare name working without it.
# shellcheck disable=SC2016
exec unshare --mount --propagation private -- /bin/bash -c '
  fd=$1 root=$2 wd=$3
  mount -a -T "/dev/fd/$fd" || exit 125
  shift 3
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin:/usr/lib/wine \
    exec unshare --root="$root" --wd="$wd" -- "$@" {fd}<&-' "$me" "$fd" "$chroot" "$wd" "$@"
