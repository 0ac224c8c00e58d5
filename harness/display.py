"""The virtual X display Wine runs on: starting and ending it, its top-level
windows, the pointer, and the screen's pixels and pictures."""

import collections
import os
import re
import subprocess

from harness import procs

Window = collections.namedtuple("Window", "id name cls x y w h")
# Every display the scripts drive has this size: start() makes them all.
SCREEN = (800, 600)


def start(env, log, within=10.0):
    """Starts an Xvfb of SCREEN's size for env and points env's DISPLAY at it;
    returns the Xvfb process, a helper (procs.helper) whose standard error
    goes to the file log. It runs in a session of its own, so a Ctrl-C at the
    terminal reaches only the caller, which can then end Wine before the
    display: the other way round, every Wine process reports a broken X
    connection."""
    read_end, write_end = os.pipe()
    with open(log, "w") as err:
        xvfb = procs.helper(subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "%dx%dx24" % SCREEN, "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=err, stderr=err, start_new_session=True), "Xvfb", log)
    os.close(write_end)
    try:
        # Xvfb writes its display's number, then the newline, in two writes
        # once it takes connections, and aborts when the pipe is closed in
        # between; it closes the pipe unwritten when it fails.
        number = procs.read_line(read_end, within)
        if not number:
            raise RuntimeError("Xvfb did not start: " + procs.tail(log))
    except BaseException:
        # Also on Ctrl-C: the caller has no handle to end it with yet.
        xvfb.kill()
        xvfb.wait()
        raise
    finally:
        os.close(read_end)
    env["DISPLAY"] = ":" + number
    return xvfb


def stop(xvfb):
    """Ends the display start() made; after Wine, as start() says."""
    xvfb.terminate()
    if procs.wait_end(xvfb, 10) is None:
        xvfb.kill()
        xvfb.wait()


def x11(env, *args, timeout=10):
    return subprocess.run(args, env=env, capture_output=True, timeout=timeout)


def windows(env):
    """Every top-level X window, as a Window (class is the quoted pair of
    xwininfo, such as '"explorer.exe" "Wine"')."""
    out = x11(env, "xwininfo", "-root", "-children").stdout.decode(errors="replace")
    found = []
    for m in re.finditer(r"^\s*(0x[0-9a-f]+) (\"[^\"]*\"|\(has no name\)): \((.*?)\)\s+"
                         r"(\d+)x(\d+)\+(-?\d+)\+(-?\d+)", out, re.M):
        w, h, x, y = (int(m.group(i)) for i in range(4, 8))
        found.append(Window(m.group(1), m.group(2).strip('"'), m.group(3), x, y, w, h))
    return found


def viewable(env, window):
    out = x11(env, "xwininfo", "-id", window.id).stdout.decode(errors="replace")
    return "IsViewable" in out


def mouse(env, x, y, *buttons):
    """Moves the pointer to screen (x, y), then clicks each button there (1
    left, 3 right)."""
    clicks = [arg for button in buttons for arg in ("click", str(button))]
    x11(env, "xdotool", "mousemove", str(x), str(y), *clicks)


def grab(env, box):
    """The screen's 8-bit RGB bytes inside box (x, y, w, h), row by row, or None."""
    x, y, w, h = box
    raw = x11(env, "/usr/bin/import", "-silent", "-window", "root",
              "-crop", "%dx%d+%d+%d" % (w, h, x, y), "-depth", "8", "rgb:-").stdout
    return raw if len(raw) == w * h * 3 else None


def save(env, box, path, zoom="100%"):
    """Writes the screen inside box (x, y, w, h) to path as a PNG, replacing
    it whole, enlarged by zoom with whole pixels (no smoothing). -strip
    keeps the creation date out, so an unchanged picture is the same file."""
    x, y, w, h = box
    raw = x11(env, "/usr/bin/import", "-silent", "-window", "root",
              "-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage", "png:-").stdout
    partial = path + ".part.png"
    made = bool(raw) and subprocess.run(
        ["/usr/bin/convert", "png:-", "-sample", zoom, "-strip", partial], input=raw,
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30).returncode == 0
    if made:
        os.replace(partial, path)
    return made
