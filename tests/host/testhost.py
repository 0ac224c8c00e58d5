"""Test hosts in network namespaces, for Python test scripts.

up(name, index) makes host 198.18.<index>.2 reachable from here through
198.18.<index>.1; its kernel stays silent, so a responder started inside
decides how it answers. Everything runs as root.
"""

import os
import select
import socket
import subprocess

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "testhost.sh")


def _run(*args):
    return subprocess.run(["sh", SCRIPT, *args], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=60).returncode == 0


def available():
    return _run("available")


def up(name, index):
    return _run("up", name, str(index))


def down(name):
    return _run("down", name)


def host_address(index):
    return "198.18.%d.2" % index


def start_responder(name, responder_binary, control_path, mode, lifetime=600):
    """Starts the responder inside namespace `name`; returns its Popen once
    it is listening, or None when it did not come up within 5 s."""
    proc = subprocess.Popen(
        ["ip", "netns", "exec", name, responder_binary, "--control", control_path,
         "--mode", mode, "--lifetime", str(lifetime)],
        stdout=subprocess.PIPE, text=True)
    ready, _, _ = select.select([proc.stdout], [], [], 5.0)
    if ready and proc.stdout.readline().strip() == "ready":
        return proc
    proc.kill()
    proc.wait()
    return None


def command(control_path, line, timeout=5.0):
    """Sends one command line; returns the answer line without its newline,
    or None when the responder does not answer."""
    try:
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(timeout)
            s.connect(control_path)
            s.sendall(line.encode() + b"\n")
            answer = b""
            while not answer.endswith(b"\n"):
                chunk = s.recv(256)
                if not chunk:
                    break
                answer += chunk
            return answer.decode().strip() if answer else None
    except OSError:
        return None
