#!/usr/bin/python3
"""End-to-end scenarios for the real vimra.exe under Wine and Xvfb.

Each row starts the program, drives it the way a user would (right-click on
the tray icon, Exit in its menu) and checks what the user sees: which status
picture Wine's notification area draws, read from the screen, and the
process exit code. Rows that need a scripted echo host run against a test
host in a network namespace; as root a host that cannot be made fails them,
with ip's own words, and otherwise they are skipped, as the last line says.

usage: scenarios.py --exe BUILD/vimra.exe [--lane wine8|wine10|arm64] [--time-scale F]
                    [--only NAME] [--cycles N]

--lane chooses the Wine that runs the exe (the x64 exe under the machine's
Wine 8 or under Wine 10, the ARM64 exe under arm64 Wine on qemu-user); the
rows are the same for all. --time-scale stretches every limit on how soon
something must happen, for a Wine that starts programs slower under
emulation; how long a picture must hold stays as it is.
"""

import argparse
import collections
import contextlib
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import pefile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, ROOT)
from harness import display, evidence, procs, testhost, tray, wine  # noqa: E402

# A table run beside another (another lane, say) takes another test host.
NS_INDEX = int(os.environ.get("VIMRA_E2E_HOST", "2"))
NAMESPACE = "vimra-e2e-%d" % NS_INDEX
HOST = testhost.host_address(NS_INDEX)
LOOP = "127.0.0.1"
ANY, CROSS, BARS = tray.ANY, tray.CROSS, tray.BARS
SETTLE = 1.5   # how long a band's picture must hold once it is shown
# What the program and the desktop write to their Wine logs, kept when a row
# fails: Wine's errors, where each DLL came from, each thread's start and
# end, the entry's return into ExitProcess (the prefix's relay list) and the
# DLL detach after it, each line timed and marked with process and thread.
WINE_LOG = "fixme-all,+timestamp,+pid,+loaddll,+relay"
DESKTOP_LOG = "fixme-all,+timestamp,+pid"   # errors only: it runs all table long

# Takes the icon away from the notification area from outside, as a shell
# restart does: the program has to notice on its own and add it again.
# Killing Wine's explorer.exe is no stand-in: the desktop window outlives it
# while any program runs, so no new explorer can take over and the tray
# never comes back.
DROP_ICON_SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "drop_icon.cpp")

# A DLL left beside the program under a system DLL's name. Windows looks in
# the program's folder first for any DLL that is not a KnownDLL; these
# overrides make Wine search the same way instead of preferring its own.
PLANTED_SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "planted_dll.cpp")
PLANTED = ("iphlpapi", "imm32", "version")
PLANTED_OVERRIDES = "mscoree,mshtml=;%s=n,b" % ",".join(PLANTED)
# Where each lane's Wine keeps its own Windows DLLs (inside the lane), and
# the cross tools that build helpers for that lane's machine.
WINE_DLLS = {
    "x64": ("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows", "/usr/lib/wine/x86_64-windows"),
    "arm64": ("/usr/lib/aarch64-linux-gnu/wine/aarch64-windows", "/usr/lib/wine/aarch64-windows"),
}


def band_row(delay, icon):
    # Four replies of delay..delay+5 ms show as 4/3 of that: 20 -> 26..33,
    # 100 -> 133..140, 170 -> 226..233, 300 -> 400..406, 400 -> 533..540,
    # 600 -> 800..806, each well inside its band.
    turnover = 4 * (1.0 + delay / 1000.0) + 2.0
    return ("c.band-%dms" % delay, HOST, "reply %d" % delay,
            [("icon", {icon}, turnover, "settle"), ("steady", {icon}, SETTLE),
             ("exit", 2.0, "exit")], 1)


# name, target, responder command (None: no test host needed), steps, repeat
SCENARIOS = [
    ("a.loopback", LOOP, None,
     [("icon", ANY, 1.5, "first-icon"), ("icon", {BARS[5]}, 5.0, "five-bars"),
      ("exit", 1.0, "exit")], 1),
] + [
    # Misread, each of these texts could only reach the test host or nothing
    # at all, so the responder's count shows whether any request went out.
    ("b.invalid-" + label, target, "reply 0", [("ends", 1.0), ("count", "none")], 1)
    for label, target in (
        ("name", "example.invalid"), ("broadcast", "255.255.255.255"), ("empty", ""),
        ("300-chars", HOST + " " * (300 - len(HOST))), ("fullwidth", "\uff11\uff19\uff18.18.2.2"),
        ("nul-low-byte", "\u0100" + HOST))
] + [
    band_row(delay, BARS[lit]) for delay, lit in ((20, 5), (100, 4), (170, 3), (300, 2), (400, 1), (600, 0))
] + [
    ("d.unreachable", HOST, "unreachable",
     [("icon", {CROSS}, 1.5, "first-icon"), ("steady", {CROSS}, 6.5), ("count", "some"),
      ("exit", 2.0, "exit")], 1),
    ("e.silence", HOST, "reply 0",
     [("icon", {BARS[5]}, 6.0, "five-bars"), ("say", "drop"),
      ("icon", {CROSS}, 5.5, "silence-to-cross"), ("say", "reply 0"),
      ("icon", {BARS[5]}, 7.5, "answer-to-bars"), ("exit", 2.0, "exit")], 1),
    ("f.shell-loses-icon", LOOP, None,
     [("icon", {BARS[5]}, 6.0, "five-bars"), ("shell", {BARS[5]}, 1.0, "icon-back"),
      ("exit", 1.0, "exit")], 1),
    ("g.exit-in-flight", HOST, "drop",
     [("icon", {CROSS}, 1.5, "first-icon"), ("inflight", 3.5), ("exit", 2.0, "exit")], 1),
    ("h.cycles", LOOP, None, [("icon", ANY, 1.5, None), ("exit", 1.0, "exit")], None),
    # The box's own message loop runs on the main thread while it is open:
    # the icon must go on following the host and the menu must still work.
    ("i.about-open", HOST, "reply 0",
     [("icon", {BARS[5]}, 6.0, "five-bars"), ("about", 3.0), ("say", "reply 300"),
      ("icon", {BARS[2]}, 7.0, "bars-follow-under-box"), ("box-open",), ("exit", 2.0, "exit")], 1),
    # Only the System32 copy of iphlpapi may serve the echo requests. Wine
    # loads imm32 and version for its own user32 before the program's first
    # line runs, so the program can only keep iphlpapi out.
    ("j.planted-dlls", LOOP, None,
     [("plant", PLANTED), ("icon", ANY, 1.5, "first-icon"), ("planted", "iphlpapi.dll"),
      ("icon", {BARS[5]}, 6.0, "five-bars"), ("exit", 1.0, "exit"), ("planted", "iphlpapi.dll")], 1),
    # No ICMP library to be had: the same silent end as a bad address.
    ("k.no-icmp-library", HOST, "reply 0",
     [("env", {"WINEDLLOVERRIDES": "mscoree,mshtml=;iphlpapi=d"}), ("ends", 1.0),
      ("count", "none")], 1),
]

# Steps that shape how the program is started rather than what it is shown.
LAUNCH_STEPS = ("plant", "env")


# ------------------------------------------------------------------ screen

def helpers(ctx):
    """The processes the table runs on: the display, Wine's desktop keeper
    and the test host's responder."""
    return [ctx[key] for key in ("xvfb", "keeper", "control") if ctx.get(key)]


def observe(ctx):
    """Which status picture the tray shows first, or None when it shows none."""
    return wait_for(ctx, lambda _: True, 1)[1]


def scaled(ctx, seconds):
    return seconds * ctx["scale"]


def wait_for(ctx, accept, within, interval=0.03):
    """Looks at the tray until accept(icon), or until a process the table
    runs on has ended; returns (seconds, icon) or (None, last)."""
    took, icon, at = tray.wait_icon(ctx["env"], accept, within, interval,
                                    lambda: procs.ended(helpers(ctx)))
    ctx["icon_at"] = at or ctx.get("icon_at")
    return took, icon


# ------------------------------------------------------------------- steps

def launch(ctx, target, setup):
    ctx["stderr"] = open(os.path.join(ctx["tmp"], "vimra.err"), "w+")
    exe, env, cwd = ctx["exe"], dict(ctx["env"], WINEDEBUG=WINE_LOG), None
    for step in setup:
        if step[0] == "env":
            env = dict(env, **step[1])
        elif step[0] == "plant":
            # Started from the planted folder too, as a double-click in
            # Explorer does, so the current directory holds them as well.
            cwd = plant(ctx, step[1])
            exe = os.path.join(cwd, "vimra.exe")
            env = dict(env, WINEDLLOVERRIDES=PLANTED_OVERRIDES)
    return wine.start(env, exe, target, cwd=cwd, stderr=ctx["stderr"])


def plant(ctx, names):
    """A copy of the program in a folder of its own beside DLLs named like
    system DLLs. Each forwards every export to a renamed copy of Wine's own
    DLL, so the program works whichever it gets, and each notes in
    planted.log which process loaded it. Returns the folder."""
    folder = os.path.join(ctx["tmp"], "downloads")
    ctx["not_planted"] = []
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    shutil.copy(ctx["exe"], os.path.join(folder, "vimra.exe"))
    for name in names:
        real = os.path.join(folder, "real%s.dll" % name)
        # Copied by the lane itself: a chroot's DLLs are only known inside it.
        subprocess.run(wine.wine(ctx["env"], "cp", os.path.join(ctx["wine_dlls"], name + ".dll"), real),
                       env=ctx["env"], check=True, timeout=60)
        exports = export_names(real)
        if not exports:
            # This Wine's own copy is a placeholder that exports nothing (its
            # code lives on the Unix side, as in Debian's arm64 Wine 8), so
            # there is nothing to forward to. A stand-in for a DLL that Wine's
            # user32 needs would stop the program before its first line; the
            # DLL the program loads itself is still planted, bare, telling on
            # itself if it is ever loaded.
            os.remove(real)
            if name != "iphlpapi":
                ctx["not_planted"].append(name)
                continue
        definition = os.path.join(ctx["tmp"], name + ".def")
        with open(definition, "w") as f:
            f.write("LIBRARY %s.dll\nEXPORTS\n" % name)
            f.writelines("  %s=real%s.%s\n" % (e, name, e) for e in exports)
        subprocess.run([ctx["compiler"], "-shared", "-static", "-s", "-o",
                        os.path.join(folder, name + ".dll"), PLANTED_SOURCE, definition],
                       check=True, timeout=120)
    return folder


def export_names(dll):
    """The names a DLL (x64 or ARM64) exports, plain ones only: a .def file
    would read the @N of a decorated name (Wine's iphlpapi has a few) as
    more than a name, and the program calls none of them."""
    exports = getattr(pefile.PE(dll), "DIRECTORY_ENTRY_EXPORT", None)
    return [e.name.decode() for e in exports.symbols if e.name and re.fullmatch(rb"\w+", e.name)] if exports else []


def responder(ctx, line):
    # Only rows with a responder command run its steps, and none runs without the host.
    return testhost.command(ctx["control"], line)


def run_step(ctx, proc, step, figures, mark):
    """Runs one step; returns (new mark, error or None)."""
    kind = step[0]
    if kind == "icon":
        _, ids, within, label = step
        within = scaled(ctx, within)
        took, icon = wait_for(ctx, lambda i: i in ids, within - (time.monotonic() - mark))
        if took is None:
            return mark, "expected %s within %.1fs, saw %s (tray at %s)" % (
                tray.named(ids), within, tray.named([icon]), tray.tray_box(ctx["env"]))
        if label:
            figures[label] = time.monotonic() - mark
        return mark, None
    if kind == "steady":
        _, ids, seconds = step
        took, icon = wait_for(ctx, lambda i: i not in ids, seconds)
        return mark, None if took is None else "showed %s after %.1fs of %s" % (
            tray.named([icon]), took, tray.named(ids))
    if kind == "say":
        return time.monotonic(), None if responder(ctx, step[1]) == "ok" else "responder did not take " + step[1]
    if kind == "count":
        count = int(responder(ctx, "count") or -1)
        figures["requests"] = count
        ok = count == 0 if step[1] == "none" else count > 0
        return mark, None if ok else "test host received %d requests" % count
    if kind == "ends":
        within = scaled(ctx, step[1])
        took, icon = wait_for(ctx, lambda i: i is not None or proc.poll() is not None, within)
        code = proc.poll()
        if icon is not None:
            return mark, "an icon appeared: " + tray.named([icon])
        if code is None:
            return mark, "still running after %.1fs; %s" % (within, program_end(ctx, mark, within))
        figures["end"] = time.monotonic() - mark
        took, icon = wait_for(ctx, lambda i: i is not None, 0.5)
        if code != 0 or took is not None:
            return mark, "exit code %s, icon after end: %s" % (code, tray.named([icon]))
        return mark, None
    if kind == "inflight":
        before = int(responder(ctx, "count") or 0)
        if not procs.poll(lambda: int(responder(ctx, "count") or 0) != before, scaled(ctx, step[1]), 0.02):
            return mark, "no request reached the test host"
        return time.monotonic(), None
    if kind == "shell":
        _, ids, within, label = step
        within = scaled(ctx, within)
        if not ctx.get("drop_icon"):
            return mark, "the tray helper could not be built: " + ctx["drop_icon_error"]
        helper = wine.start(ctx["env"], ctx["drop_icon"])
        if procs.wait_end(helper, scaled(ctx, 10.0)) != 0:
            helper.kill()
            return mark, "could not take the icon away from the tray"
        gone = time.monotonic()
        took, icon = wait_for(ctx, lambda i: i in ids, scaled(ctx, 5.0))
        if took is None:
            return mark, "icon not back with %s, saw %s" % (tray.named(ids), tray.named([icon]))
        figures[label] = time.monotonic() - gone
        return mark, None if figures[label] <= within else "icon back only after %.2fs" % figures[label]
    if kind == "about":
        if tray.click_menu(ctx["env"], *ctx["icon_at"], "vimra.exe", tray.ABOUT) is None:
            return mark, "no menu opened at the icon"
        took, _ = wait_for(ctx, lambda _: about_box(ctx), scaled(ctx, step[1]))
        return mark, None if took is not None else "no About box within %.1fs" % scaled(ctx, step[1])
    if kind == "box-open":
        return mark, None if about_box(ctx) else "the About box closed by itself"
    if kind == "planted":
        try:
            with open(os.path.join(ctx["tmp"], "downloads", "planted.log")) as f:
                lines = [line.split() for line in f if line.strip()]
        except FileNotFoundError:
            lines = []
        loaded = sorted({dll.lower() for dll, image in lines if image.lower() == "vimra.exe"})
        figures["planted-loaded"] = ",".join(loaded) or "none"
        if ctx["not_planted"]:
            figures["not-planted"] = ",".join(ctx["not_planted"]) + " (Wine's own copies export nothing here)"
        return mark, "%s was loaded from the program's folder" % step[1] if step[1] in loaded else None
    if kind == "exit":
        _, within, label = step
        within = scaled(ctx, within)
        asked = time.monotonic()
        clicked = tray.click_menu(ctx["env"], *ctx["icon_at"], "vimra.exe", tray.EXIT)
        if clicked is None:
            return mark, "no menu opened at the icon"
        gone = ended = None
        while time.monotonic() - clicked < within + 3.0 and not (gone and ended):
            if gone is None and observe(ctx) is None:
                gone = time.monotonic() - clicked
            if ended is None and proc.poll() is not None:
                ended = time.monotonic() - clicked
            time.sleep(0.01)
        figures[label], figures["icon-gone"] = ended, gone
        if ended is None or gone is None:
            return mark, "after %.1fs: process %s, icon %s%s" % (
                within + 3.0, "ended" if ended else "running", "gone" if gone else "shown",
                "" if ended else "; " + program_end(ctx, asked, within))
        took, icon = wait_for(ctx, lambda i: i is not None, 0.6)
        ctx["stderr"].seek(0)
        crashed = "Unhandled" in ctx["stderr"].read()
        # The program's own part of that, on Wine's clock: from the Exit
        # command reaching its window to its entry's return into ExitProcess.
        end = evidence.shutdown(ctx["stderr"].name)
        if end["command"] and end["exit"]:
            figures["entry-returned"] = end["exit"][0] - end["command"]
        if proc.returncode != 0 or took is not None or crashed or ended > within or about_box(ctx):
            return mark, "exit code %s after %.2fs, icon back: %s, crash: %s, About box: %s" % (
                proc.returncode, ended, tray.named([icon]), crashed, about_box(ctx))
        return mark, None
    return mark, "unknown step " + kind


def program_end(ctx, since, limit):
    """Why a process is still there after it was told to end, from its Wine
    log. When its own part is done (every worker thread ended, then the entry
    returned 0 into ExitProcess within the row's limit) what is left is Wine
    or the emulator not ending the Linux process: the row is marked HANG,
    counted apart from the failures, with its evidence kept all the same."""
    done, shown = evidence.program_part(ctx["stderr"].name, evidence.raw_clock(since), limit)
    ctx["hang"] = done
    return ("the program's part ended, Wine did not end its process: " if done
            else "the program did not end within its limit: ") + shown


def run_once(ctx, name, target, steps, figures):
    proc = launch(ctx, target, [s for s in steps if s[0] in LAUNCH_STEPS])
    mark = time.monotonic()
    error = None
    try:
        for step in (s for s in steps if s[0] not in LAUNCH_STEPS):
            mark, error = run_step(ctx, proc, step, figures, mark)
            # Whatever the step saw, a display or responder that is gone
            # is the cause, not the row.
            error = procs.ended(helpers(ctx)) or error
            if error:
                error = "%s: %s" % (step[0], error)
                break
        if error:
            ctx["failures"] += 1
            kept = evidence.keep(os.path.join(ctx["evidence"], "%s-%d" % (name, ctx["failures"])),
                                 ctx["env"], proc.pid, ctx["stderr"].name, error, helpers(ctx))
            error += " [kept: %s]" % os.path.relpath(kept)
        return error
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        if error or observe(ctx) is not None:
            # Start the next row from an empty tray and a new desktop
            # process, so that what went wrong here stays with this row.
            reset_wine(ctx)
        ctx["stderr"].close()


def run_row(ctx, row, cycles):
    name, target, mode, steps, repeat = row
    if mode and not ctx.get("control"):
        # As root the host can be made: one that was not is a failure.
        return "FAIL" if os.geteuid() == 0 else "SKIP", "no test host: " + ctx["no_host"], {}
    if any(s[0] == "plant" for s in steps) and not (ctx.get("compiler") and ctx.get("wine_dlls")):
        return "FAIL", "needs mingw-w64 and Wine's own DLLs to plant copies of", {}
    if mode:
        responder(ctx, "reset")
        if responder(ctx, mode) != "ok":
            return "FAIL", "responder did not take " + mode, {}
    merged = {}
    for _ in range(repeat or cycles):
        figures = {}
        ctx["hang"] = False
        error = run_once(ctx, name, target, steps, figures)
        for key, value in figures.items():
            merged.setdefault(key, []).append(value)
        if error:
            return "HANG" if ctx["hang"] else "FAIL", error, merged
    return "PASS", "", merged


def show(figures):
    parts = []
    for key, values in sorted(figures.items()):
        numbers = [v for v in values if isinstance(v, (int, float))]
        if len(numbers) > 1 and all(isinstance(v, float) for v in numbers):
            parts.append("%s median %.3fs worst %.3fs (n=%d)" % (
                key, statistics.median(numbers), max(numbers), len(numbers)))
        elif numbers and isinstance(numbers[-1], float):
            parts.append("%s=%.3fs" % (key, numbers[-1]))
        else:
            parts.append("%s=%s" % (key, values[-1]))
    return " ".join(parts)


def about_box(ctx):
    return any(w.name == "About" for w in display.windows(ctx["env"]))


# ------------------------------------------------------------- environment

def reset_wine(ctx):
    """Ends every Wine process of the prefix and starts Wine's desktop
    process, which holds the notification area, again; it then keeps running
    from row to row, as Windows' shell always is. Otherwise Wine starts it
    with every program and ends it after, and every row's times would
    include that start: about 1 s here, several under emulation. A command
    prompt waiting on a pipe that is never written keeps it up and shows no
    window. Returns once the desktop is up and the prefix's processes have
    gone quiet, so that the next row's clock starts on a Wine at rest; a
    desktop that does not come up keeps its evidence and gets one more try."""
    for attempt in (1, 2):
        stop_wine(ctx)
        subprocess.run(wine.wine(ctx["env"], "wineserver", "-p"), env=ctx["env"], timeout=30)
        log = os.path.join(ctx["tmp"], "desktop.err")
        with open(log, "w") as err:
            ctx["keeper"] = procs.helper(wine.start(dict(ctx["env"], WINEDEBUG=DESKTOP_LOG), "cmd", "/c", "pause",
                                                    stdin=subprocess.PIPE, stderr=err), "Wine's desktop keeper", log)
        up = procs.poll(lambda: procs.ended(helpers(ctx)) or any(
            w.cls.startswith('"explorer.exe"') for w in display.windows(ctx["env"])), scaled(ctx, 15.0), 0.1)
        # A process the table runs on is gone: no desktop to wait for, and
        # the caller names the cause.
        if procs.ended(helpers(ctx)) or up and quiet(ctx, scaled(ctx, 15.0)):
            return
        ctx["failures"] += 1
        why = procs.ended(helpers(ctx)) or "desktop not up and quiet (attempt %d)" % attempt
        kept = evidence.keep(os.path.join(ctx["evidence"], "desktop-%d" % ctx["failures"]), ctx["env"],
                             ctx["keeper"].pid, log, why, helpers(ctx))
        print("note: Wine's desktop did not come up and settle (attempt %d) [kept: %s]" % (
            attempt, os.path.relpath(kept)), flush=True)


def stop_wine(ctx):
    """Ends the prefix's Wine processes, the desktop's keeper among them."""
    wine.stop_prefix(ctx["env"])
    if ctx.get("keeper"):
        ctx["keeper"].kill()
        ctx["keeper"].wait()


def quiet(ctx, within, still=0.5):
    """Whether the prefix's processes used no processor time for `still`
    seconds on end, within `within` seconds."""
    last, since = None, time.monotonic()
    deadline = since + within
    while time.monotonic() < deadline:
        used = sum(seconds for _, seconds in procs.prefix_cpu(ctx["env"]["WINEPREFIX"]).values())
        if used != last:
            last, since = used, time.monotonic()
        elif time.monotonic() - since >= still:
            return True
        time.sleep(0.1)
    return False


def find_cross_tools(ctx):
    """What the rows that build Windows helpers need: a compiler for the
    lane's machine, and the lane's Wine's own DLLs to plant copies of."""
    machine = "arm64" if ctx["env"]["VIMRA_LANE"] == "arm64" else "x64"
    if machine == "arm64":
        made = subprocess.run([os.path.join(ROOT, "tools", "arm64-toolchain.sh")], capture_output=True,
                              text=True, timeout=1800)
        toolchain = made.stdout.strip() if made.returncode == 0 else ""
        compiler = os.path.join(toolchain, "bin", "aarch64-w64-mingw32-clang++")
        ctx["compiler"] = compiler if toolchain and os.access(compiler, os.X_OK) else None
    else:
        ctx["compiler"] = (shutil.which("x86_64-w64-mingw32-g++-posix")
                           or shutil.which("x86_64-w64-mingw32-g++"))
    found = subprocess.run(wine.wine(ctx["env"], "sh", "-c", 'for d; do [ -d "$d" ] && echo "$d"; done',
                                     "sh", *WINE_DLLS[machine]),
                           env=ctx["env"], capture_output=True, text=True, timeout=300).stdout.split()
    ctx["wine_dlls"] = found[0] if found else None


def build_drop_icon(ctx):
    target, log = os.path.join(ctx["tmp"], "drop_icon.exe"), os.path.join(ctx["tmp"], "drop_icon.err")
    with open(log, "w") as err:
        made = ctx["compiler"] and subprocess.run([ctx["compiler"], "-static", "-o", target, DROP_ICON_SOURCE,
                                                   "-lshell32"], stdout=err, stderr=err, timeout=120)
    if made and made.returncode == 0:
        ctx["drop_icon"] = target
    else:
        ctx["drop_icon_error"] = procs.tail(log) if made else "no compiler for this lane"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--only", help="run the rows whose name starts with this")
    parser.add_argument("--cycles", type=int, default=5)
    parser.add_argument("--repeat", type=int, default=1, help="run the table this many times")
    parser.add_argument("--lane", choices=wine.LANES, default="wine8")
    parser.add_argument("--time-scale", type=float, default=1.0)
    parser.add_argument("--evidence", default=os.path.join(ROOT, "build", "e2e-evidence"),
                        help="where a failed row keeps what shows why (default build/e2e-evidence)")
    args = parser.parse_args()
    rows = [r for r in SCENARIOS if not args.only or r[0].startswith(args.only)]
    if not rows:
        sys.exit("no scenario named " + args.only)

    tmp = tempfile.mkdtemp(prefix="vimra-e2e-")
    env = wine.wine_env(os.path.join(tmp, "wine"), dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8"), args.lane)
    ctx = {"tmp": tmp, "env": env, "exe": os.path.abspath(args.exe),
           "scale": max(args.time_scale, 1.0), "failures": 0,
           "evidence": os.path.join(os.path.abspath(args.evidence), args.lane)}
    counts = collections.Counter()
    failures = {}   # row -> the errors it failed with, over all runs
    started = time.monotonic()
    # Long enough for every run, and still bounded.
    host = testhost.session(NAMESPACE, NS_INDEX, 600 * args.repeat, os.path.join(tmp, "responder.err")) \
        if any(row[2] for row in rows) else contextlib.nullcontext((None, "no row here needs one"))
    try:
        with host as (ctx["control"], ctx["no_host"]):
            ctx["xvfb"] = display.start(ctx["env"], os.path.join(tmp, "xvfb.err"))
            wine.prepare_prefix(env)
            reset_wine(ctx)
            find_cross_tools(ctx)
            build_drop_icon(ctx)
            for run in range(1, args.repeat + 1):
                if args.repeat > 1:
                    print("--- run %d of %d" % (run, args.repeat), flush=True)
                for row in rows:
                    row_start = time.monotonic()
                    verdict, error, figures = run_row(ctx, row, args.cycles)
                    counts[verdict] += 1
                    if error and verdict in ("FAIL", "HANG"):
                        failures.setdefault(row[0], []).append("run %d: %s %s" % (run, verdict, error))
                    print("%s %-22s %s%s (%.1fs)" % (verdict, row[0], show(figures),
                                                    "  -- " + error if error else "",
                                                    time.monotonic() - row_start), flush=True)
                    gone = procs.ended(helpers(ctx))
                    if gone:
                        # Every row after would fail for the same cause.
                        print("STOP: the table cannot go on: " + gone, flush=True)
                        sys.exit(1)
    finally:
        stop_wine(ctx)
        if ctx.get("xvfb"):
            display.stop(ctx["xvfb"])
        shutil.rmtree(tmp, ignore_errors=True)
        for row, errors in failures.items():
            print("failed %s %d of %d runs:\n  %s" % (row, len(errors), args.repeat, "\n  ".join(errors)))
        skipped = " -- %d SKIPPED, their checks NOT made: %s" % (counts["SKIP"], ctx.get("no_host")) \
            if counts["SKIP"] else ""
        print("e2e (%s): %d passed, %d failed, %d skipped, %d left running by Wine after the program's end"
              " in %.0fs%s%s" % (args.lane, counts["PASS"], counts["FAIL"], counts["SKIP"], counts["HANG"],
                                 time.monotonic() - started, " over %d runs" % args.repeat
                                 if args.repeat > 1 else "", skipped), flush=True)
    sys.exit(1 if counts["FAIL"] else 0)


if __name__ == "__main__":
    main()
