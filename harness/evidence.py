"""What a failed end-to-end row keeps: the state of every Linux thread of the
prefix's processes at the moment it failed, the program's Wine log and the
screen, in a folder of its own, so that a flake can be understood from one
occurrence instead of being reproduced; and what that log says of the
program's end."""

import os
import re
import shutil
import subprocess
import time

from harness import display, procs, tray, wine

def thread_report(program, prefix):
    """Text: every Linux thread of the program's process first, then of the
    prefix's other processes, with its state and kernel wait."""
    pids = [program] + [pid for pid in procs.prefix_processes(prefix) if pid != program]
    listed = subprocess.run(["ps", "-L", "-o", "pid,tid,ppid,stat,wchan:32,comm,args", "-p",
                             ",".join(map(str, pids))], capture_output=True, text=True, timeout=30).stdout
    return ("" if os.path.exists("/proc/%d" % program) else "program pid %d: gone\n" % program) + listed


def keep(folder, env, program, log, error, helpers=()):
    """Writes into folder: threads.txt (the failure, every Linux thread of
    the prefix as it is now, then the processes and threads Wine itself
    still knows of), wine.log (the program's Wine log), the standard error
    of each helper process (procs.helper) under its own file's name, and
    screen.png. Returns folder."""
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    report = "failure: %s\n\n%s" % (error, thread_report(program, env["WINEPREFIX"]))
    for source, name in [(log, "wine.log")] + [(h.helper_log, os.path.basename(h.helper_log)) for h in helpers]:
        if source and os.path.exists(source):
            shutil.copy(source, os.path.join(folder, name))
    display.save(env, (0, 0) + display.SCREEN, os.path.join(folder, "screen.png"))
    try:
        listed = subprocess.run(wine.wine(env, "wine", "winedbg", "--command", "info thread"), env=env,
                                capture_output=True, text=True, errors="replace", timeout=60).stdout
    except subprocess.TimeoutExpired:
        listed = "(no answer within 60 s)\n"
    with open(os.path.join(folder, "threads.txt"), "w") as f:
        f.write(report + "\nWine's processes and threads (winedbg: info thread):\n" + listed)
    return folder


# A line of the program's Wine log with +timestamp,+pid: seconds.ms, process
# and thread ids, then the message. Wine's clock is CLOCK_MONOTONIC_RAW.
LOG_LINE = re.compile(r"^\s*(\d+)\.(\d{3}):([0-9a-f]{4}):([0-9a-f]{4}):(.*)$")
# The Exit command as its window procedure gets it: WM_COMMAND with the
# menu item's identifier, as the resource header defines it.
EXIT_COMMAND = "msg=WM_COMMAND,wp=%08x," % tray.IDS["ID_MENU_EXIT"]
DETACH = re.compile(r'^(Call|Ret) +(?:\w+ )?DLL \(.*L"([^"]+)",reason=PROCESS_DETACH')


def raw_clock(monotonic):
    """A time.monotonic() value on the clock of Wine's log timestamps."""
    return monotonic + time.clock_gettime(time.CLOCK_MONOTONIC_RAW) - time.monotonic()


def shutdown(log):
    """What the program's Wine log (+relay) says of its end, times on its
    clock: its main thread, when each worker thread ended (the C runtime's
    THREAD_DETACH on it), when the Exit command reached its window, when and
    with what code the entry's return reached ExitProcess, and the
    DLLs whose process detach was entered and never returned."""
    end = {"main": None, "command": None, "workers": {}, "exit": None, "detaching": []}
    try:
        with open(log, errors="replace") as f:
            lines = f.read().splitlines()
    except OSError:
        lines = []
    for line in lines:
        m = LOG_LINE.match(line)
        if not m:
            continue
        at, pid, tid, message = int(m.group(1)) + int(m.group(2)) / 1000.0, m.group(3), m.group(4), m.group(5)
        if message.startswith("Starting thread proc"):
            if end["main"] is None:
                end["main"] = (pid, tid)
            elif pid == end["main"][0]:
                end["workers"].setdefault(tid, None)
        elif end["main"] is None or pid != end["main"][0]:
            continue
        elif message.startswith("Call window proc") and EXIT_COMMAND in message and end["command"] is None:
            end["command"] = at
        elif "msvcrt.dll" in message and "THREAD_DETACH" in message and tid in end["workers"]:
            end["workers"][tid] = at
        elif message.startswith("Call KERNEL32.ExitProcess("):
            end["exit"] = (at, int(message.split("(")[1].split(")")[0], 16))
        elif DETACH.match(message):
            call, module = DETACH.match(message).groups()
            if call == "Call":
                end["detaching"].append(module)
            elif module in end["detaching"]:
                end["detaching"].remove(module)
    return end


def program_part(log, since, limit):
    """(whether the program's own part of ending was done and bounded, what
    the log shows), times from the Exit command's arrival or, without one,
    from since (on the raw clock), when the end was asked for. The part is
    done when every worker ended, then the entry returned 0 into ExitProcess
    within limit seconds; what follows (the DLL detach, the end of the
    threads and of the process) is Windows' part, Wine's here."""
    end = shutdown(log)
    if end["main"] is None:
        return False, "no thread of the program in its Wine log"
    origin = end["command"] or since
    parts = ["from the Exit command" if end["command"] else "from the harness's request"]
    parts += ["worker %s %s" % (tid, "ended %+.3fs" % (at - origin) if at else "never ended")
              for tid, at in sorted(end["workers"].items())]
    exit_call = end["exit"]
    parts.append("ExitProcess(%d) %+.3fs" % (exit_call[1], exit_call[0] - origin) if exit_call else "no ExitProcess")
    if exit_call:
        parts.append("detach never returned: " + ", ".join(end["detaching"]) if end["detaching"]
                     else "every DLL detached")
    done = (exit_call is not None and exit_call[1] == 0 and exit_call[0] - origin <= limit
            and all(at is not None and at <= exit_call[0] for at in end["workers"].values()))
    return done, "program %s: %s" % (end["main"][0], ", ".join(parts))
