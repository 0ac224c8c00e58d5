"""Processes as /proc shows them: which ones belong to a Wine prefix, the
processor time and memory each uses, whether one has ended; and waiting,
always bounded, for something to happen."""

import os
import re
import select
import time

TICKS = os.sysconf("SC_CLK_TCK")


def read(pid, name):
    """/proc/PID/NAME's bytes, or b"" once the process (or thread) is gone."""
    try:
        with open("/proc/%d/%s" % (pid, name), "rb") as f:
            return f.read()
    except OSError:
        return b""


def stat(pid, name="stat"):
    """The fields of a stat file after the command's name, which may itself
    hold spaces: the state first, utime and stime at 11 and 12."""
    return read(pid, name).rsplit(b")", 1)[-1].split()


# A process is live while any one of its threads is. Linux marks a whole
# process a zombie (Z) as soon as its first thread ends, even while other
# threads of it still run and use the processor, and from then on hides its
# environment and command line. Judged by its first thread, a program whose
# main thread ended while a worker hangs on would vanish: just the process
# that a failure's evidence or a prefix that will not settle is about. A
# process all of whose threads have ended is a zombie in earnest, waiting
# only for its parent (often this script, through a Popen not yet waited on)
# to collect its exit code: it uses no processor time, holds no memory and
# cannot be killed, so it is not live, and waiting for a program to end or
# for a prefix to settle never waits on it.
def live_thread(pid):
    """The id of a thread of the process that has not ended, or None."""
    try:
        tids = sorted(os.listdir("/proc/%d/task" % pid), key=int)
    except OSError:
        return None
    for tid in tids:
        if stat(pid, "task/%s/stat" % tid)[:1] not in ([], [b"Z"], [b"X"]):
            return tid
    return None


def prefix_processes(prefix):
    """{pid: command line, a list} of the live processes of the Wine prefix:
    every one of them has it in its environment, the wineserver included."""
    mark = ("WINEPREFIX=" + prefix).encode()
    found = {}
    for name in os.listdir("/proc"):
        tid = name.isdigit() and live_thread(int(name))
        if tid and mark in read(int(name), "task/%s/environ" % tid).split(b"\0"):
            command = read(int(name), "task/%s/cmdline" % tid).decode(errors="replace")
            found[int(name)] = command.split("\0")
    return found


def prefix_cpu(prefix):
    """{pid: (image name, processor seconds)} of the prefix's live processes."""
    found = {}
    for pid, command in prefix_processes(prefix).items():
        seconds = cpu_seconds(pid)
        if seconds is not None:
            found[pid] = (image(command), seconds)
    return found


def image(command):
    """The program's file name, lower case, from its command line (Wine puts
    a Windows program's Windows path there)."""
    return re.split(r"[\\/]", command[0])[-1].lower()


def cpu_seconds(pid):
    """The processor time, user and system, of all the process's threads,
    ended ones included, in clock ticks of 10 ms; None once it is gone."""
    fields = stat(pid)
    return (int(fields[11]) + int(fields[12])) / TICKS if len(fields) > 12 else None


def cpu_ns(pid):
    """Nanoseconds on a processor of the process's live threads, from
    schedstat: finer than the clock ticks, for figures near zero."""
    try:
        tids = os.listdir("/proc/%d/task" % pid)
    except OSError:
        return None
    total = 0
    for tid in tids:
        fields = read(pid, "task/%s/schedstat" % tid).split()
        total += int(fields[0]) if fields else 0   # a thread that ended meanwhile: nothing
    return total


def status_kib(pid, key):
    """A size in KiB from /proc/PID/status (VmRSS, VmHWM), or None."""
    match = re.search(r"^%s:\s+(\d+) kB" % key, read(pid, "status").decode(), re.M)
    return int(match.group(1)) if match else None


def open_fds(pid):
    try:
        return len(os.listdir("/proc/%d/fd" % pid))
    except OSError:
        return None


def poll(condition, within, step=0.05):
    """condition()'s first true value within `within` seconds, else None."""
    end = time.monotonic() + within
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(step)
    return None


def wait_end(proc, within):
    """The exit code of the Popen proc once it ends within `within` seconds,
    else None (it is left running)."""
    poll(lambda: proc.poll() is not None, within, 0.01)
    return proc.poll()


def read_line(fd, within, limit=4096):
    """One line from the pipe fd, read to its newline within `within` seconds,
    a byte at a time so that nothing after it is taken: a writer may send a
    line in pieces. None when the pipe ends or the time is up first."""
    got, end = b"", time.monotonic() + within
    while len(got) < limit and select.select([fd], [], [], max(0.0, end - time.monotonic()))[0]:
        byte = os.read(fd, 1)
        if byte in (b"", b"\n"):
            return got.decode(errors="replace") if byte else None
        got += byte
    return None


# The processes a harness starts to stand in for a machine's (the display,
# the test host's responder, Wine's desktop keeper) keep their standard
# error in a file. When one of them ends, what depends on it fails at once
# and names it, rather than failing for a cause that is not its own.
def helper(proc, name, log):
    """proc, a Popen whose standard error goes to the file log, marked as
    the harness's helper process called name."""
    proc.helper_name, proc.helper_log = name, log
    return proc


def tail(path, lines=4):
    try:
        with open(path, errors="replace") as f:
            last = [line.strip() for line in f.read().splitlines() if line.strip()][-lines:]
    except OSError:
        return "(no log)"
    return " | ".join(last) or "(it wrote nothing)"


def ended(helpers):
    """What tells that one of the helper processes has ended, its exit
    status and last lines, or None while all run."""
    for proc in helpers:
        if proc.poll() is not None:
            return "%s ended (exit status %d); its last lines: %s" % (
                proc.helper_name, proc.returncode, tail(proc.helper_log))
    return None
