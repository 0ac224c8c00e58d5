#!/bin/sh
# Test hosts on this machine: a network namespace joined to the root one by
# a veth pair, so that tests have a real IPv4 host to probe that nobody else
# can see. The namespace's kernel does not answer echo requests; a responder
# started inside decides what the host does.
#
#   testhost.sh up NAME INDEX   root side 198.18.INDEX.1/24, host 198.18.INDEX.2/24
#   testhost.sh down NAME       ends everything inside and removes it
#   testhost.sh available       exit 0 when namespaces can be made here
set -u

# Interface names are tied to the index; the kernel allows 15 characters.
root_link() { echo "vimra$1r"; }

host_down() {
    ip netns pids "$1" >/dev/null 2>&1 || return 0
    ip netns pids "$1" | xargs -r kill 2>/dev/null
    # The veth pair lives as long as anything runs inside.
    tries=0
    while [ -n "$(ip netns pids "$1")" ] && [ $tries -lt 20 ]; do
        sleep 0.1
        tries=$((tries + 1))
    done
    ip netns pids "$1" | xargs -r kill -9 2>/dev/null
    ip netns delete "$1" 2>/dev/null
    return 0
}

host_up() {
    name=$1
    index=$2
    case $index in
        '' | *[!0-9]*) echo "testhost: INDEX must be 0..255" >&2; return 2 ;;
    esac
    [ "$index" -le 255 ] || { echo "testhost: INDEX must be 0..255" >&2; return 2; }
    link=$(root_link "$index")
    # A crashed run may have left either half behind.
    host_down "$name"
    ip link delete "$link" 2>/dev/null

    ip netns add "$name" &&
        ip link add "$link" type veth peer name host0 netns "$name" &&
        ip addr add "198.18.$index.1/24" dev "$link" &&
        ip link set "$link" up &&
        ip -n "$name" addr add "198.18.$index.2/24" dev host0 &&
        ip -n "$name" link set host0 up &&
        ip -n "$name" link set lo up &&
        ip netns exec "$name" sh -c 'echo 1 > /proc/sys/net/ipv4/icmp_echo_ignore_all'
    status=$?
    if [ $status -ne 0 ]; then
        echo "testhost: could not set up $name" >&2
        host_down "$name"
        ip link delete "$link" 2>/dev/null
    fi
    return $status
}

host_available() {
    command -v ip >/dev/null 2>&1 || return 1
    probe="vimra-avail-$$"
    ip netns add "$probe" 2>/dev/null || return 1
    ip -n "$probe" link add probe0 type veth peer name probe1 2>/dev/null
    status=$?
    ip netns delete "$probe" 2>/dev/null
    return $status
}

case ${1:-} in
    up) [ $# -eq 3 ] || { echo "usage: $0 up NAME INDEX" >&2; exit 2; }; host_up "$2" "$3" ;;
    down) [ $# -eq 2 ] || { echo "usage: $0 down NAME" >&2; exit 2; }; host_down "$2" ;;
    available) host_available ;;
    *) echo "usage: $0 up NAME INDEX | down NAME | available" >&2; exit 2 ;;
esac
