"""Test hosts on this machine, for the tests, the bench and the tools; as root.

up(NAME, INDEX) makes a network namespace joined to the root one by a veth
pair, root side 198.18.INDEX.1, host 198.18.INDEX.2, that nobody else sees.
Its kernel does not answer echo requests: a responder started inside does,
as told on its standard input, answering each line with one line: "reply MS"
(every echo request MS ms late), "drop", "unreachable" (a host-unreachable
error), "count" (requests since the last "reset"), "reset", "quit".

    testhost.py available | up NAME INDEX | down NAME | respond SECONDS
"""

import heapq
import os
import re
import select
import socket
import struct
import subprocess
import sys
import time

def _ip(*args):
    return subprocess.run(["ip", *args], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                          timeout=30).returncode == 0


def host_address(index):
    return "198.18.%d.2" % index


def available():
    probe = "vimra-avail-%d" % os.getpid()
    if not _ip("netns", "add", probe):
        return False
    made = _ip("-n", probe, "link", "add", "probe0", "type", "veth", "peer", "name", "probe1")
    _ip("netns", "delete", probe)
    return made


def _pids(name):
    listed = subprocess.run(["ip", "netns", "pids", name], capture_output=True, text=True, timeout=30)
    return [int(pid) for pid in listed.stdout.split()]


def down(name):
    """Ends everything running inside, which holds the veth pair, and removes the namespace."""
    for sig, wait in ((15, 2.0), (9, 1.0)):
        for pid in _pids(name):
            try:
                os.kill(pid, sig)
            except ProcessLookupError:
                pass
        deadline = time.monotonic() + wait
        while _pids(name) and time.monotonic() < deadline:
            time.sleep(0.1)
    _ip("netns", "delete", name)
    return True


def up(name, index):
    if not 0 <= index <= 255:
        return False
    link = "vimra%dr" % index   # the kernel allows 15 characters
    # A crashed run may have left either half behind.
    down(name)
    _ip("link", "delete", link)
    steps = [("netns", "add", name),
             ("link", "add", link, "type", "veth", "peer", "name", "host0", "netns", name),
             ("addr", "add", "198.18.%d.1/24" % index, "dev", link),
             ("link", "set", link, "up"),
             ("-n", name, "addr", "add", "198.18.%d.2/24" % index, "dev", "host0"),
             ("-n", name, "link", "set", "host0", "up"),
             ("-n", name, "link", "set", "lo", "up"),
             ("netns", "exec", name, "sh", "-c", "echo 1 > /proc/sys/net/ipv4/icmp_echo_ignore_all")]
    if all(_ip(*step) for step in steps):
        return True
    down(name)
    _ip("link", "delete", link)
    return False


def start_responder(name, mode="reply 0", lifetime=600):
    """Starts a responder inside namespace `name` answering as `mode` says;
    returns its Popen, to give to command(), or None when it did not come up."""
    here = os.path.abspath(__file__)
    proc = subprocess.Popen(["ip", "netns", "exec", name, sys.executable, here, "respond", str(lifetime)],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    if command(proc, None) == "ready" and command(proc, mode) == "ok":
        return proc
    proc.kill()
    proc.wait()
    return None


def command(proc, line, timeout=5.0):
    """Sends one command line (none: just reads); returns the answer line,
    or None when the responder does not answer. One that misses its time-out
    is ended, so that a late answer is never taken for the next one's."""
    try:
        if line is not None:
            proc.stdin.write(line + "\n")
            proc.stdin.flush()
        if select.select([proc.stdout], [], [], timeout)[0]:
            answer = proc.stdout.readline()
            if answer:
                return answer.strip()
    except (OSError, ValueError):
        return None
    proc.kill()
    return None


def _checksum(packet):
    """The packet with its ICMP checksum (bytes 2-3) filled in."""
    padded = packet[:2] + b"\0\0" + packet[4:] + b"\0" * (len(packet) % 2)
    total = sum(struct.unpack("!%dH" % (len(padded) // 2), padded))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return packet[:2] + struct.pack("!H", ~total & 0xFFFF) + packet[4:]


def respond(lifetime):
    icmp = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
    mode, delay, requests, pending, text = "reply", 0.0, 0, [], b""
    end = time.monotonic() + lifetime
    print("ready", flush=True)
    while time.monotonic() < end:
        # Wake for the nearest due reply, not on a tick: the delay is what is measured.
        wake = min(end, pending[0][0]) if pending else end
        readable = select.select([icmp, 0], [], [], max(0.0, wake - time.monotonic()))[0]
        if icmp in readable:
            datagram, (sender, _) = icmp.recvfrom(65535)
            header = (datagram[0] & 0x0F) * 4
            if len(datagram) >= header + 8 and datagram[header] == 8:   # an echo request
                requests += 1
                if mode == "reply":
                    heapq.heappush(pending, (time.monotonic() + delay, sender,
                                             _checksum(b"\0\0" + datagram[header + 2:])))
                elif mode == "unreachable":
                    # Type 3 code 1 quoting the request's IP header and first 8 bytes, as a router does.
                    icmp.sendto(_checksum(b"\x03\x01" + bytes(6) + datagram[:header + 8]), (sender, 0))
        while pending and pending[0][0] <= time.monotonic():
            _, sender, packet = heapq.heappop(pending)
            icmp.sendto(packet, (sender, 0))
        if 0 in readable:
            chunk = os.read(0, 4096)
            if not chunk:
                return   # whoever started us is gone
            text += chunk
            while b"\n" in text:
                line, text = text.split(b"\n", 1)
                line = line.decode(errors="replace").strip()
                timed = re.fullmatch(r"reply (\d{1,5})", line)
                answer = "ok"
                if line == "count":
                    answer = str(requests)
                elif line == "reset":
                    requests = 0
                elif line in ("drop", "unreachable"):
                    mode = line
                elif timed and int(timed.group(1)) <= 60000:
                    mode, delay = "reply", int(timed.group(1)) / 1000.0
                elif line != "quit":
                    answer = "error"
                print(answer, flush=True)
                if line == "quit":
                    return


def main(args):
    if args[:1] == ["respond"] and len(args) == 2 and args[1].isdigit():
        respond(int(args[1]))
        return
    if args == ["available"]:
        ok = available()
    elif args[:1] == ["up"] and len(args) == 3 and args[2].isdigit():
        ok = up(args[1], int(args[2]))
    elif args[:1] == ["down"] and len(args) == 2:
        ok = down(args[1])
    else:
        sys.exit("usage: testhost.py available | up NAME INDEX | down NAME | respond SECONDS")
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main(sys.argv[1:])
