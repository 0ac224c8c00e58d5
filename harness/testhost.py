"""Test hosts on this machine, for the tests, the bench and the tools; as root.

up(NAME, INDEX) makes a network namespace joined to the root one by a veth
pair, root side 198.18.INDEX.1, host 198.18.INDEX.2, that nobody else sees.
Its kernel does not answer echo requests: a responder started inside does,
as told on its standard input, answering each line with one line: "reply MS"
(every echo request MS ms late), "drop", "unreachable" (a host-unreachable
error), "count" (requests since the last "reset"), "reset", "quit".

    testhost.py up NAME INDEX | down NAME | respond SECONDS
"""

import contextlib
import heapq
import os
import re
import select
import socket
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from harness import procs  # noqa: E402


def _ip(*args):
    """None when ip did it, else what went wrong, in ip's own words."""
    try:
        done = subprocess.run(["ip", *args], capture_output=True, text=True, errors="replace", timeout=30)
    except (OSError, subprocess.TimeoutExpired) as error:
        return "ip %s: %s" % (" ".join(args), error)
    return None if done.returncode == 0 else "ip %s: %s" % (
        " ".join(args), done.stderr.strip() or "exit status %d" % done.returncode)


def host_address(index):
    return "198.18.%d.2" % index


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


def up(name, index):
    """None once the host is up, else why not, in ip's own words."""
    if not 0 <= index <= 255:
        return "no test host numbered %d" % index
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
    for step in steps:
        error = _ip(*step)
        if error:
            down(name)
            _ip("link", "delete", link)
            return error
    return None


def command(proc, line, timeout=5.0):
    """Sends one command line (none: just reads); returns the answer line,
    or None when the responder does not answer. One that misses its time-out
    is ended, so that a late answer is never taken for the next one's."""
    try:
        if line is not None:
            os.write(proc.stdin.fileno(), (line + "\n").encode())
        answer = procs.read_line(proc.stdout.fileno(), timeout)
        if answer is not None:
            return answer.strip()
    except OSError:
        return None
    proc.kill()
    return None


@contextlib.contextmanager
def session(name, index, lifetime, log):
    """The test host `name` up, with a responder inside answering at once,
    for at most `lifetime` seconds: gives (the responder, to give to
    command(), None) or (None, why there is none); ends both after."""
    why = up(name, index)
    control = None
    if not why:
        with open(log, "w") as err:
            control = procs.helper(subprocess.Popen(
                ["ip", "netns", "exec", name, sys.executable, os.path.abspath(__file__), "respond", str(lifetime)],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err), "the test host's responder", log)
        if command(control, None) != "ready":
            why = "the responder did not come up: " + procs.tail(log)
    try:
        yield (None, why) if why else (control, None)
    finally:
        if control:
            if command(control, "quit") != "ok" or procs.wait_end(control, 5) is None:
                control.kill()
            control.wait()
        down(name)


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
    elif args[:1] == ["up"] and len(args) == 3 and args[2].isdigit():
        sys.exit(up(args[1], int(args[2])))
    elif args[:1] == ["down"] and len(args) == 2:
        down(args[1])
    else:
        sys.exit("usage: testhost.py up NAME INDEX | down NAME | respond SECONDS")


if __name__ == "__main__":
    main(sys.argv[1:])
