"""Footprint and running cost of vimra.exe under Wine and Xvfb.

Called by bench/run.sh, which builds the programs.
Every measured program runs in a Wine prefix of its own, so that the prefix's
wineserver, explorer and services work for that program alone and can be
charged to it. Traffic goes only to 127.0.0.1 and to the namespace test host
made here; every run is bounded in time.
"""

import argparse
import os
import re
import statistics
import subprocess
import sys
import time

import pefile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, ROOT)
from harness import display, procs, testhost, tray, wine  # noqa: E402
from harness.table import layout  # noqa: E402

HOST_NAME = "vimra-bench"
HOST_INDEX = 3


# ---- Wine prefixes and processes --------------------------------------------

def prepare_prefix(prefix):
    if not os.path.exists(os.path.join(prefix, "system.reg")):
        os.makedirs(os.path.dirname(prefix), exist_ok=True)
        print("creating Wine prefix %s ..." % prefix, flush=True)
    if not wine.prepare_prefix(wine.wine_env(prefix)):
        sys.exit("bench: could not create the Wine prefix %s" % prefix)


def stop_prefix(prefix):
    wine.stop_prefix(wine.wine_env(prefix))


def find_program(prefix, image, timeout=20.0):
    """The pid of the prefix's process running image, once there is one."""
    def found():
        for pid, command in procs.prefix_processes(prefix).items():
            if procs.image(command) == image or procs.image(command) + ".exe" == image:
                return pid
        return None
    return procs.poll(found, timeout)


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
    env = wine.wine_env(prefix)
    result = subprocess.run(wine.wine(env, "wine", wininfo, image), env=env, capture_output=True,
                            text=True, timeout=60)
    match = re.search(r"threads (\d+) handles (-?\d+)", result.stdout)
    if not match:
        return None, None
    return int(match.group(1)), int(match.group(2))


# ---- Measurements -----------------------------------------------------------

def footprint(exe):
    """The exe's size and the DLLs it imports."""
    pe = pefile.PE(exe)
    return os.path.getsize(exe), [entry.dll.decode() for entry in pe.DIRECTORY_ENTRY_IMPORT]


def side_by_side(opts, prefixes):
    """CPU over the same window, and peak memory, of vimra, Wine's ping and
    the idle program, each in its own prefix, all running at once."""
    life = opts.seconds + opts.settle + 10
    # role: the program, its arguments, the image whose process is measured
    programs = {
        "vimra": (opts.exe, ["127.0.0.1"], os.path.basename(opts.exe).lower()),
        "ping": ("ping", ["-n", str(life), "127.0.0.1"], "ping.exe"),
        # What a user actually leaves open: ping drawing its lines in a
        # console window. Wine's ping has no -t; -n outlasts the window.
        "console": ("wineconsole", ["ping", "-n", str(life), "127.0.0.1"], "ping.exe"),
        "idle": (opts.idle, [str(life)], os.path.basename(opts.idle).lower()),
    }
    pids = {}
    for key, (program, args, _) in programs.items():
        wine.start(wine.wine_env(prefixes[key]), program, *args)
    for key, (_, _, image) in programs.items():
        pids[key] = find_program(prefixes[key], image)
        if pids[key] is None:
            sys.exit("bench: %s did not start" % key)
    time.sleep(opts.settle)
    before = {key: procs.prefix_cpu(prefixes[key]) for key in programs}
    fine_before = {key: procs.cpu_ns(pids[key]) or 0 for key in programs}
    time.sleep(opts.seconds)
    after = {key: procs.prefix_cpu(prefixes[key]) for key in programs}
    fine_after = {key: procs.cpu_ns(pids[key]) or 0 for key in programs}
    rows = {}
    for key in programs:
        pid = pids[key]
        own = after[key].get(pid, ("", 0.0))[1] - before[key].get(pid, ("", 0.0))[1]
        split = cpu_by_process(before[key], after[key])
        rows[key] = {"own": own, "fine": (fine_after[key] - fine_before[key]) / 1e6,
                     "prefix": sum(split.values()), "split": split,
                     "hwm": procs.status_kib(pid, "VmHWM"), "procs": len(after[key])}
    for key in programs:
        stop_prefix(prefixes[key])
    return rows


def start_and_exit(opts, prefix):
    """Start to first drawn tray icon, and Exit chosen in the menu to the
    end of the process; medians over several runs."""
    image = os.path.basename(opts.exe).lower()
    env = wine.wine_env(prefix)
    starts, exits, codes = [], [], []
    for _ in range(opts.runs):
        began = time.monotonic()
        proc = wine.start(env, opts.exe, "127.0.0.1")
        took, _, at = tray.wait_icon(env, lambda icon: icon is not None, 30.0, 0.02)
        if took is None:
            proc.kill()
            sys.exit("bench: no tray icon appeared")
        starts.append(time.monotonic() - began)
        pid = find_program(prefix, image)
        time.sleep(1.5)
        clicked = tray.click_menu(env, *at, image, tray.EXIT)
        if clicked is None or not procs.poll(lambda: procs.live_thread(pid) is None, 15.0, step=0.01):
            stop_prefix(prefix)
            sys.exit("bench: Exit from the tray menu did not end the program")
        exits.append(time.monotonic() - clicked)
        codes.append(proc.wait(timeout=15))
        tray.wait_icon(env, lambda icon: icon is None, 10.0)
    stop_prefix(prefix)
    return statistics.median(starts), statistics.median(exits), starts, exits, codes


def request_count(control):
    answer = testhost.command(control, "count")
    return int(answer) if answer and answer.isdigit() else None


def request_rates(opts, prefix, control):
    """Requests per minute seen by the test host, answering at once and
    silent, over opts.seconds each."""
    address = testhost.host_address(HOST_INDEX)
    rates = {}
    try:
        wine.start(wine.wine_env(prefix), opts.exe, address)
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
    return rates


def soak_sample(opts, prefix, pid):
    threads, handles = windows_counts(prefix, opts.wininfo, os.path.basename(opts.exe).lower())
    return {"rss": procs.status_kib(pid, "VmRSS"), "fds": procs.open_fds(pid), "threads": threads,
            "handles": handles, "cpu": procs.cpu_seconds(pid)}


def soak(opts, prefixes, control):
    """Ten minutes against a silent host and against one that answers at
    once: memory, descriptors, Windows threads and handles at start and end."""
    image = os.path.basename(opts.exe).lower()
    testhost.command(control, "drop")
    targets = {"silent": testhost.host_address(HOST_INDEX), "answering": "127.0.0.1"}
    samples = {}
    try:
        pids = {}
        for key, target in targets.items():
            wine.start(wine.wine_env(prefixes[key]), opts.exe, target)
            pids[key] = find_program(prefixes[key], image)
        time.sleep(opts.settle)
        samples = {key: [soak_sample(opts, prefixes[key], pids[key])] for key in targets}
        time.sleep(opts.soak_seconds)
        for key in targets:
            samples[key].append(soak_sample(opts, prefixes[key], pids[key]))
            samples[key].append({"hwm": procs.status_kib(pids[key], "VmHWM")})
    finally:
        for key in targets:
            stop_prefix(prefixes[key])
    return samples


# ---- Report -----------------------------------------------------------------

def ratio(a, b):
    return "%.2f" % (a / b) if b > 0 else "n/a"


def print_table(title, header, rows):
    print("\n" + title)
    print("\n".join(layout(header, rows)))


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
    # Every prefix's Wine draws on this one display.
    os.makedirs(opts.prefixes, exist_ok=True)
    xvfb = display.start(os.environ, os.path.join(opts.prefixes, "xvfb.err"))
    lifetime = opts.soak_seconds + 3 * (opts.seconds + opts.settle) + 180
    try:
        with testhost.session(HOST_NAME, HOST_INDEX, lifetime, os.path.join(opts.prefixes, "responder.err")) \
                as (control, why):
            measure(opts, control, why)
    finally:
        display.stop(xvfb)


def measure(opts, control, why):
    roles = ["vimra", "ping", "console", "idle"] + (["silent", "answering"] if opts.soak_seconds else [])
    prefixes = {role: os.path.join(opts.prefixes, role) for role in roles}
    for prefix in prefixes.values():
        prepare_prefix(prefix)

    size, dlls = footprint(opts.exe)
    print("vimra.exe: %d bytes (%.1f KiB); imports %s" % (size, size / 1024.0, ", ".join(dlls)))

    if opts.soak_seconds:
        if not control:
            sys.exit("bench: the soak needs the namespace test host: " + why)
        s = soak(opts, prefixes, control)
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

    if control:
        rates = request_rates(opts, prefixes["vimra"], control)
        print_table("Echo requests per minute at the test host (%s), over %d s each"
                    % (testhost.host_address(HOST_INDEX), opts.seconds),
                    ["host", "measured", "probe loop cadence"],
                    [["answers at once", "%.1f" % rates["reply 0"], "~60 (1000 ms + rtt)"],
                     ["never answers", "%.1f" % rates["drop"], "37.5 (1500 + 100 ms)"]])
    else:
        print("\nrequest rates: NOT MEASURED, no test host: " + why)


if __name__ == "__main__":
    main()
