"""Footprint and running cost of vimra.exe under Wine and Xvfb.

Called by bench/run.sh, which builds the programs and provides the display.
Every measured program runs in a Wine prefix of its own, so that the prefix's
wineserver, explorer and services work for that program alone and can be
charged to it. Traffic goes only to 127.0.0.1 and to the namespace test host
made here; every run is bounded in time.
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, ROOT)
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import wine_tray  # noqa: E402
from harness import testhost  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")
HOST_NAME = "vimra-bench"
HOST_INDEX = 3


# ---- Wine prefixes and processes --------------------------------------------

def prepare_prefix(prefix):
    if not os.path.exists(os.path.join(prefix, "system.reg")):
        os.makedirs(os.path.dirname(prefix), exist_ok=True)
        print("creating Wine prefix %s ..." % prefix, flush=True)
    if not wine_tray.prepare_prefix(wine_tray.wine_env(prefix)):
        sys.exit("bench: could not create the Wine prefix %s" % prefix)


def stop_prefix(prefix):
    wine_tray.stop_prefix(wine_tray.wine_env(prefix))


def launch(prefix, program, *args):
    env = wine_tray.wine_env(prefix)
    return subprocess.Popen(wine_tray.wine(env, "wine", program, *args), env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            start_new_session=True)


def read_proc(pid, name):
    try:
        with open("/proc/%d/%s" % (pid, name), "rb") as f:
            return f.read()
    except OSError:
        return None


def prefix_processes(prefix):
    """{pid: image name} of the live processes of one prefix, wineserver included."""
    wanted = b"WINEPREFIX=" + prefix.encode()
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        pid = int(entry)
        environ = read_proc(pid, "environ")
        stat = read_proc(pid, "stat")
        if not environ or not stat or wanted not in environ.split(b"\0"):
            continue
        if stat[stat.rfind(b")") + 2:][:1] == b"Z":
            continue
        argv0 = (read_proc(pid, "cmdline") or b"").split(b"\0")[0].decode(errors="replace")
        found[pid] = re.split(r"[\\/]", argv0)[-1].lower()
    return found


def find_program(prefix, image, timeout=20.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        for pid, name in prefix_processes(prefix).items():
            if name == image or name + ".exe" == image:
                return pid
        time.sleep(0.05)
    return None


def cpu_seconds(pid):
    stat = read_proc(pid, "stat")
    if stat is None:
        return None
    fields = stat[stat.rfind(b")") + 2:].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime, stime


def status_kib(pid, key):
    text = (read_proc(pid, "status") or b"").decode()
    match = re.search(r"^%s:\s+(\d+) kB" % key, text, re.M)
    return int(match.group(1)) if match else None


def open_fds(pid):
    try:
        return len(os.listdir("/proc/%d/fd" % pid))
    except OSError:
        return None


def cpu_ns(pid):
    """Nanoseconds on a CPU of the process's live threads, from schedstat:
    finer than the clock ticks of utime and stime, for figures near zero."""
    total = 0
    try:
        tasks = os.listdir("/proc/%d/task" % pid)
    except OSError:
        return None
    for task in tasks:
        text = read_proc(pid, "task/%s/schedstat" % task)
        if text:
            total += int(text.split()[0])
    return total


def cpu_snapshot(prefix):
    """{pid: (image name, CPU seconds)} of one prefix's processes."""
    snapshot = {}
    for pid, name in prefix_processes(prefix).items():
        seconds = cpu_seconds(pid)
        if seconds is not None:
            snapshot[pid] = (name, seconds)
    return snapshot


def cpu_by_process(before, after):
    """{image name: seconds used between two snapshots}; a process that
    appeared in between is charged all it used."""
    used = {}
    for pid, (name, seconds) in after.items():
        earlier = before.get(pid, (name, 0.0))[1]
        used[name] = used.get(name, 0.0) + seconds - earlier
    return used


def windows_counts(prefix, wininfo, image):
    """(threads, handles) as Windows counts them, or (None, None)."""
    env = wine_tray.wine_env(prefix)
    result = subprocess.run(wine_tray.wine(env, "wine", wininfo, image), env=env, capture_output=True,
                            text=True, timeout=60)
    match = re.search(r"threads (\d+) handles (-?\d+)", result.stdout)
    if not match:
        return None, None
    return int(match.group(1)), int(match.group(2))


# ---- The notification area on the X display ---------------------------------

def process_gone(pid):
    stat = read_proc(pid, "stat")
    return stat is None or stat[stat.rfind(b")") + 2:][:1] == b"Z"


# ---- Measurements -----------------------------------------------------------

def footprint(exe):
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", exe], capture_output=True,
                          text=True).stdout
    return os.path.getsize(exe), re.findall(r"DLL Name: (\S+)", dump)


def side_by_side(opts, prefixes):
    """CPU over the same window, and peak memory, of vimra, Wine's ping and
    the idle program, each in its own prefix, all running at once."""
    life = opts.seconds + opts.settle + 10
    programs = {
        "vimra": (opts.exe, ["127.0.0.1"]),
        "ping": ("ping", ["-n", str(life), "127.0.0.1"]),
        # What a user actually leaves open: ping drawing its lines in a
        # console window. Wine's ping has no -t; -n outlasts the window.
        "console": ("wineconsole", ["ping", "-n", str(life), "127.0.0.1"]),
        "idle": (opts.idle, [str(life)]),
    }
    images = {"vimra": os.path.basename(opts.exe).lower(), "ping": "ping.exe",
              "console": "ping.exe",
              "idle": os.path.basename(opts.idle).lower()}
    pids = {}
    for key, (program, args) in programs.items():
        launch(prefixes[key], program, *args)
    for key in programs:
        pids[key] = find_program(prefixes[key], images[key])
        if pids[key] is None:
            sys.exit("bench: %s did not start" % key)
    time.sleep(opts.settle)
    before = {key: cpu_snapshot(prefixes[key]) for key in programs}
    fine_before = {key: cpu_ns(pids[key]) or 0 for key in programs}
    time.sleep(opts.seconds)
    after = {key: cpu_snapshot(prefixes[key]) for key in programs}
    fine_after = {key: cpu_ns(pids[key]) or 0 for key in programs}
    rows = {}
    for key in programs:
        pid = pids[key]
        own = after[key].get(pid, ("", 0.0))[1] - before[key].get(pid, ("", 0.0))[1]
        split = cpu_by_process(before[key], after[key])
        rows[key] = {"own": own, "fine": (fine_after[key] - fine_before[key]) / 1e6,
                     "prefix": sum(split.values()), "split": split,
                     "hwm": status_kib(pid, "VmHWM"), "procs": len(after[key])}
    for key in programs:
        stop_prefix(prefixes[key])
    return rows


def start_and_exit(opts, prefix):
    """Start to first drawn tray icon, and Exit chosen in the menu to the
    end of the process; medians over several runs."""
    image = os.path.basename(opts.exe).lower()
    env = wine_tray.wine_env(prefix)
    pictures = wine_tray.status_pictures()

    def icon_at():
        return wine_tray.find_status_icon(env, pictures)[1]

    starts, exits, codes = [], [], []
    for _ in range(opts.runs):
        began = time.monotonic()
        proc = launch(prefix, opts.exe, "127.0.0.1")
        at = wine_tray.poll(icon_at, 30.0, step=0.02)
        if at is None:
            proc.kill()
            sys.exit("bench: no tray icon appeared")
        starts.append(time.monotonic() - began)
        pid = find_program(prefix, image)
        time.sleep(1.5)
        clicked = wine_tray.click_exit(env, *at, image)
        if clicked is None or not wine_tray.poll(lambda: process_gone(pid), 15.0, step=0.01):
            stop_prefix(prefix)
            sys.exit("bench: Exit from the tray menu did not end the program")
        exits.append(time.monotonic() - clicked)
        codes.append(proc.wait(timeout=15))
        wine_tray.poll(lambda: icon_at() is None, 10.0)
    stop_prefix(prefix)
    return statistics.median(starts), statistics.median(exits), starts, exits, codes


def start_responder(mode, lifetime):
    proc = testhost.start_responder(HOST_NAME, mode, lifetime)
    if proc is None:
        sys.exit("bench: the responder did not start")
    return proc


def request_count(control):
    answer = testhost.command(control, "count")
    return int(answer) if answer and answer.isdigit() else None


def request_rates(opts, prefix):
    """Requests per minute seen by the test host, answering at once and
    silent, over opts.seconds each."""
    address = testhost.host_address(HOST_INDEX)
    control = start_responder("reply 0", 2 * (opts.seconds + opts.settle) + 120)
    rates = {}
    try:
        launch(prefix, opts.exe, address)
        if find_program(prefix, os.path.basename(opts.exe).lower()) is None:
            sys.exit("bench: vimra did not start")
        for mode in ("reply 0", "drop"):
            testhost.command(control, mode)
            time.sleep(opts.settle)
            first, began = request_count(control), time.monotonic()
            time.sleep(opts.seconds)
            last, ended = request_count(control), time.monotonic()
            rates[mode] = (last - first) * 60.0 / (ended - began)
    finally:
        stop_prefix(prefix)
        testhost.command(control, "quit")
        control.wait(timeout=10)
    return rates


def soak_sample(opts, prefix, pid):
    threads, handles = windows_counts(prefix, opts.wininfo, os.path.basename(opts.exe).lower())
    return {"rss": status_kib(pid, "VmRSS"), "fds": open_fds(pid), "threads": threads,
            "handles": handles, "cpu": cpu_seconds(pid)}


def soak(opts, prefixes):
    """Ten minutes against a silent host and against one that answers at
    once: memory, descriptors, Windows threads and handles at start and end."""
    image = os.path.basename(opts.exe).lower()
    control = start_responder("drop", opts.soak_seconds + 180)
    targets = {"silent": testhost.host_address(HOST_INDEX), "answering": "127.0.0.1"}
    samples = {}
    try:
        pids = {}
        for key, target in targets.items():
            launch(prefixes[key], opts.exe, target)
            pids[key] = find_program(prefixes[key], image)
        time.sleep(opts.settle)
        samples = {key: [soak_sample(opts, prefixes[key], pids[key])] for key in targets}
        time.sleep(opts.soak_seconds)
        for key in targets:
            samples[key].append(soak_sample(opts, prefixes[key], pids[key]))
            samples[key].append({"hwm": status_kib(pids[key], "VmHWM")})
    finally:
        for key in targets:
            stop_prefix(prefixes[key])
        testhost.command(control, "quit")
        control.wait(timeout=10)
    return samples


# ---- Report -----------------------------------------------------------------

def ratio(a, b):
    return "%.2f" % (a / b) if b > 0 else "n/a"


def print_table(title, header, rows):
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    print("\n" + title)
    for r in [header, ["-" * w for w in widths]] + rows:
        print("  ".join(str(c).ljust(w) for c, w in zip(r, widths)).rstrip())


def report_cost(rows, seconds):
    v, p, c, i = rows["vimra"], rows["ping"], rows["console"], rows["idle"]
    table = [[name, "%.2f" % r["own"], "%.1f" % r["fine"], "%.2f" % r["prefix"], r["procs"], r["hwm"]]
             for name, r in (("vimra.exe 127.0.0.1", v), ("wine ping -n 127.0.0.1", p),
                             ("ping in a console window", c), ("idle.exe", i))]
    for name, other in (("vimra/ping", p), ("vimra/console ping", c), ("vimra/idle", i)):
        table.append(["ratio " + name, ratio(v["own"], other["own"]), ratio(v["fine"], other["fine"]),
                      ratio(v["prefix"], other["prefix"]), "", ratio(v["hwm"], other["hwm"])])
    print_table("Running cost over %d s, side by side (CPU s = user+sys from /proc/PID/stat, "
                "10 ms ticks; CPU ms = schedstat of the live threads; prefix = the program, "
                "its wineserver and Wine's services and explorer)" % seconds,
                ["program", "CPU s own", "CPU ms own", "CPU s prefix", "prefix procs",
                 "VmHWM KiB own"], table)
    for name, r in (("vimra", v), ("ping", p), ("console ping", c), ("idle", i)):
        parts = sorted(r["split"].items(), key=lambda item: -item[1])
        print("  %s prefix by process: %s" % (name, ", ".join(
            "%s %.2f" % (image, used) for image, used in parts if used >= 0.005)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--idle", required=True)
    parser.add_argument("--wininfo", required=True)
    parser.add_argument("--prefixes", required=True, help="directory holding one prefix per role")
    parser.add_argument("--seconds", type=int, default=60)
    parser.add_argument("--settle", type=int, default=5)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--soak-seconds", type=int, default=0)
    opts = parser.parse_args()
    if not os.environ.get("DISPLAY"):
        sys.exit("bench: needs an X display (run through bench/run.sh)")

    roles = ["vimra", "ping", "console", "idle"] + (["silent", "answering"] if opts.soak_seconds else [])
    prefixes = {role: os.path.join(opts.prefixes, role) for role in roles}
    for prefix in prefixes.values():
        prepare_prefix(prefix)

    size, dlls = footprint(opts.exe)
    print("vimra.exe: %d bytes (%.1f KiB); imports %s" % (size, size / 1024.0, ", ".join(dlls)))

    host = os.geteuid() == 0 and testhost.available() and shutil.which("ip") is not None
    if host and not testhost.up(HOST_NAME, HOST_INDEX):
        host = False
    try:
        if opts.soak_seconds:
            if not host:
                sys.exit("bench: the soak needs a namespace test host (root)")
            s = soak(opts, prefixes)
            table = []
            for key in ("silent", "answering"):
                first, last, peak = s[key]
                for field in ("rss", "fds", "threads", "handles"):
                    table.append([key, field, first[field], last[field],
                                  "" if first[field] is None or last[field] is None
                                  else last[field] - first[field]])
                table.append([key, "cpu s", "%.2f" % first["cpu"], "%.2f" % last["cpu"],
                              "%.2f" % (last["cpu"] - first["cpu"])])
                table.append([key, "VmHWM KiB", "", peak["hwm"], ""])
            print_table("Soak, %d s (rss = VmRSS KiB; fds = /proc/PID/fd of the Wine process; "
                        "threads/handles = Windows' count, from the system handle table)"
                        % opts.soak_seconds, ["target", "measure", "start", "end", "change"], table)
            return

        report_cost(side_by_side(opts, prefixes), opts.seconds)

        start, finish, starts, exits, codes = start_and_exit(opts, prefixes["vimra"])
        print_table("Start and Exit, median of %d runs" % opts.runs,
                    ["measure", "median s", "runs s"],
                    [["start to first drawn tray icon", "%.2f" % start,
                      " ".join("%.2f" % t for t in starts)],
                     ["Exit clicked in the menu to process end", "%.3f" % finish,
                      " ".join("%.3f" % t for t in exits)],
                     ["exit codes", "", " ".join(str(c) for c in codes)]])

        if host:
            rates = request_rates(opts, prefixes["vimra"])
            print_table("Echo requests per minute at the test host (%s), over %d s each"
                        % (testhost.host_address(HOST_INDEX), opts.seconds),
                        ["host", "measured", "probe loop cadence"],
                        [["answers at once", "%.1f" % rates["reply 0"], "~60 (1000 ms + rtt)"],
                         ["never answers", "%.1f" % rates["drop"], "37.5 (1500 + 100 ms)"]])
        else:
            print("\nrequest rates: skipped (needs root and network namespaces)")
    finally:
        if host:
            testhost.down(HOST_NAME)


if __name__ == "__main__":
    main()
