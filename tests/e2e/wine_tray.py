"""Wine prefixes and Wine's notification area on an X display, for the
scripts that drive the real program: the end-to-end scenarios and the bench."""

import os
import re
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "resources"))
import icongen  # noqa: E402

LIT_BARS = {137: 5, 136: 4, 135: 3, 134: 2, 133: 1, 141: 0}   # status icon -> lit bars

# Which Wine runs the Windows programs: the machine's own (wine8), Wine 10 in
# a Debian 13 chroot, or arm64 Wine in an emulated arm64 chroot. Every Wine
# command goes through the one script that knows how to reach each.
LANES = ("wine8", "wine10", "arm64")
LANE_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "wine-lane.sh")


def wine_env(prefix, base=None, lane=None):
    env = dict(base if base is not None else os.environ)
    env.update(WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    env["VIMRA_LANE"] = lane or env.get("VIMRA_LANE") or "wine8"
    return env


def wine(env, command, *args):
    """The command line that runs a Wine command (wine, wineserver, wineboot)
    under env's lane."""
    return [LANE_SCRIPT, env.get("VIMRA_LANE", "wine8"), command, *args]


def prefix_processes(prefix):
    """The pids of the processes that belong to the Wine prefix: every one of
    them has it in its environment, the wineserver included."""
    mark = ("WINEPREFIX=%s\0" % prefix).encode()
    found = []
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                with open("/proc/%s/environ" % name, "rb") as f:
                    if mark in f.read():
                        found.append(int(name))
            except OSError:
                pass
    return sorted(found)


def stop_prefix(env):
    """Ends every Wine process of the prefix. One that its wineserver cannot
    end (stuck in its own exit, say) is killed from outside, so that the
    next start finds the prefix free."""
    for flag in ("-k", "-w"):
        try:
            subprocess.run(wine(env, "wineserver", flag), env=env, timeout=30,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except subprocess.TimeoutExpired:
            pass
    for pid in prefix_processes(env["WINEPREFIX"]):
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                args = f.read().decode(errors="replace").lower().split("\0")
            # Wine's own processes only: a shell or script that merely has
            # WINEPREFIX set (the one running this, say) stays.
            if pid != os.getpid() and ("wine" in " ".join(args[:2]) or args[0].endswith(".exe")):
                os.kill(pid, signal.SIGKILL)
        except OSError:
            pass


def prepare_prefix(env):
    """Creates the prefix when it is new; returns whether it exists."""
    quiet = dict(env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
    subprocess.run(wine(env, "wineboot", "-i"), **quiet)
    # wineboot may return while the prefix is still being filled in; killing
    # that half-way leaves a prefix whose desktop never starts. Let it end.
    subprocess.run(wine(env, "wineserver", "-w"), **quiet)
    # Unmanaged windows: with no window manager on Xvfb, hiding a managed
    # window waits 2 s for a withdrawal nobody confirms, and the tray hides
    # itself inside the NIM_DELETE of its last icon, which would add those
    # 2 s to every Exit. The relay list is the one call a log with +relay
    # traces beside the DLL attach and detach calls: ExitProcess, which the
    # program's entry returns into.
    settings = os.path.join(env["WINEPREFIX"], "vimra-settings.reg")
    with open(settings, "w", encoding="utf-16") as f:
        f.write("Windows Registry Editor Version 5.00\r\n\r\n"
                "[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n\"Managed\"=\"N\"\r\n\r\n"
                "[HKEY_CURRENT_USER\\Software\\Wine\\Debug]\r\n\"RelayInclude\"=\"kernel32.ExitProcess\"\r\n")
    subprocess.run(wine(env, "wine", "reg", "import", "Z:" + settings.replace("/", "\\")), **quiet)
    stop_prefix(env)
    return os.path.exists(os.path.join(env["WINEPREFIX"], "system.reg"))


def poll(condition, within, step=0.05):
    """condition()'s first true value within `within` seconds, else None."""
    end = time.monotonic() + within
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(step)
    return None


def x11(env, *args, timeout=10):
    return subprocess.run(args, env=env, capture_output=True, timeout=timeout)


def top_windows(env):
    """(id, name, class, w, h, x, y) for every top-level X window."""
    out = x11(env, "xwininfo", "-root", "-children").stdout.decode(errors="replace")
    found = []
    for m in re.finditer(r"^\s*(0x[0-9a-f]+) (\"[^\"]*\"|\(has no name\)): \((.*?)\)\s+"
                         r"(\d+)x(\d+)\+(-?\d+)\+(-?\d+)", out, re.M):
        found.append((m.group(1), m.group(2).strip('"'), m.group(3))
                     + tuple(int(m.group(i)) for i in range(4, 8)))
    return found


def viewable(env, window):
    out = x11(env, "xwininfo", "-id", window).stdout.decode(errors="replace")
    return "IsViewable" in out


_screens = {}


def screen_size(env):
    display = env.get("DISPLAY")
    if display not in _screens:
        out = x11(env, "xwininfo", "-root").stdout.decode(errors="replace")
        _screens[display] = [int(v) for v in re.findall(r"^\s*(?:Width|Height): (\d+)", out, re.M)] or [800, 600]
    return _screens[display]


def tray_box(env):
    """(x, y, w, h) of the notification area's part on the screen, or None.

    The notification area is what it is, not what it is called: the one
    top-level window that Wine's explorer.exe shows. Wine 8 titles it "Wine
    System Tray", Wine 10 leaves it unnamed and draws a taller caption; its
    other windows stay unmapped 1x1 stand-ins, and it unmaps itself with its
    last icon."""
    for wid, _, cls, w, h, x, y in top_windows(env):
        if cls.split('"')[1:2] == ["explorer.exe"] and w > 1 and h > 1 and viewable(env, wid):
            width, height = screen_size(env)
            x, y = max(x, 0), max(y, 0)
            return x, y, min(w, width - x), min(h, height - y)
    return None


def grab(env, box):
    """The screen's 8-bit RGB bytes inside box, row by row, or None."""
    x, y, w, h = box
    raw = x11(env, "/usr/bin/import", "-silent", "-window", "root",
              "-crop", "%dx%d+%d+%d" % (w, h, x, y), "-depth", "8", "rgb:-").stdout
    return raw if len(raw) == w * h * 3 else None


def status_pictures():
    """Status icon id -> 16 rows of W/g/s/. as the tray should show it."""
    bars = icongen.read_art("bars.txt")
    pictures = {132: icongen.read_art("down.txt")}
    for icon, lit in LIT_BARS.items():
        pictures[icon] = icongen.light_bars(bars, lit)
    return pictures


def ink_matches(ink, v):
    # White ink and grey ink are opaque and read exactly. The shadow is only
    # known to be dark: Wine's tray blends each repaint over the last one, so
    # it darkens from 169 towards black while the picture stays up, and the
    # transparent ground keeps whatever the previous picture left there.
    if ink == "W":
        return v >= 250
    if ink == "g":
        return 150 <= v <= 158
    if ink == "s":
        return v <= 172 and not 150 <= v <= 158
    return True


def classify(pixels, width, ox, oy, pictures):
    """The status picture drawn with its top left at (ox, oy), or None."""
    for icon, rows in pictures.items():
        if all(ink_matches(rows[y][x], pixels[(oy + y) * width + ox + x])
               for y in range(16) for x in range(16)):
            return icon
    return None


def find_status_icon(env, pictures):
    """(status icon id, its centre on the screen) of the first icon the
    tray draws, or (None, None) when it draws none of them."""
    box = tray_box(env)
    raw = box and box[2] >= 16 and box[3] >= 16 and grab(env, box)
    if not raw:
        return None, None
    x, y, w, h = box
    grey = raw[0::3]
    # The first icon sits a small margin inside the tray's client area, below
    # a caption when Wine draws the frame itself.
    for oy in range(0, h - 15):
        for ox in range(0, min(12, w - 15)):
            icon = classify(grey, w, ox, oy, pictures)
            if icon is not None:
                return icon, (x + ox + 8, y + oy + 8)
    return None, None


def click_exit(env, x, y, image, within=3.0):
    """Right-clicks the icon at screen (x, y) and clicks Exit, the second of
    the two items of the menu `image` opens at the cursor. Returns the time
    of the click, or None when no menu opened."""
    return click_menu_item(env, x, y, image, 1, within)


def click_menu_item(env, x, y, image, item, within=3.0):
    """Right-clicks the icon at screen (x, y) and clicks item 0 (About) or
    1 (Exit) of the two-item menu `image` opens at the cursor. Returns the
    time of the click, or None when no menu opened."""
    x11(env, "xdotool", "mousemove", str(x), str(y), "click", "3")
    deadline = time.monotonic() + within
    while time.monotonic() < deadline:
        for _, _, cls, w, h, mx, my in top_windows(env):
            if image in cls.lower() and abs(mx - x) <= 3 and abs(my - y) <= 3 and w >= 30 and h >= 20:
                x11(env, "xdotool", "mousemove", str(mx + w // 2), str(my + (2 * item + 1) * h // 4))
                x11(env, "xdotool", "click", "1")
                # The menu acts on the release, the end of the click.
                clicked = time.monotonic()
                x11(env, "xdotool", "mousemove", "9999", "9999")  # out of the way
                return clicked
        time.sleep(0.03)
    return None


def start_display(env, within=10.0):
    """Starts an 800x600 Xvfb for env and points env's DISPLAY at it; returns
    the Xvfb process. It runs in a session of its own, so a Ctrl-C at the
    terminal reaches only the caller, which can then end Wine before the
    display: the other way round, every Wine process reports a broken X
    connection."""
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "800x600x24", "-nolisten", "tcp"],
        pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        start_new_session=True)
    os.close(write_end)
    display = b""
    deadline = time.monotonic() + within
    try:
        while not display.endswith(b"\n") and time.monotonic() < deadline:
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            display += chunk
        if not display.strip():
            raise RuntimeError("Xvfb did not start")
    except BaseException:
        # Also on Ctrl-C: the caller has no handle to end it with yet.
        xvfb.kill()
        xvfb.wait()
        raise
    finally:
        os.close(read_end)
    env["DISPLAY"] = ":" + display.decode().strip()
    return xvfb


def save_area(env, box, path, zoom="100%"):
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


def save_tray(env, path):
    """Writes the notification area as it is on the screen to path (a PNG);
    returns False when there is no tray to take."""
    box = tray_box(env)
    return bool(box and box[2] > 0 and box[3] > 0) and save_area(env, box, path)
