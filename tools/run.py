#!/usr/bin/env python3
"""Runs vimra.exe under Wine on a virtual display of its own and prints what
its tray icon shows, read from the screen, each time it changes.

usage: run.py --exe VIMRA.EXE --out DIR [--for SECONDS | --screenshots DIR] ADDRESS

tools/run.sh builds the exe and calls this when there is no DISPLAY. Ctrl-C,
or the end of --for, ends vimra, then Wine, then the display. VIMRA_LANE
chooses the Wine (see tools/wine-lane.sh); the machine's own by default.
--screenshots (tools/screenshot.sh) waits for five bars, writes there
tray-tip.png (the icon hovered, its tip shown) and tray-menu.png (its menu
open), then ends vimra.
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from harness import display, procs, tray, wine  # noqa: E402

POLL = 0.2        # seconds between two looks at the tray
QUIET = 5.0       # say so when no icon has shown after this long
EXIT_WAIT = 5.0   # how long an Exit or a close request may take
MARGIN = 6        # screen pixels kept round a screenshot's area of interest
ZOOM = "200%"     # whole pixels, no smoothing: the 16x16 icon stays sharp
WINE_NAMES = {"wine8": "Wine", "wine10": "Wine 10 (Debian 13 chroot)",
              "arm64": "arm64 Wine on qemu-user (arm64 chroot)"}


class Stop(Exception):
    """Ctrl-C, or the terminal going away."""


def on_signal(number, frame):
    raise Stop()


def say(text, at=None):
    print(text if at is None else "%5.1f s  %s" % (at, text), flush=True)


class TrayView:
    """What the notification area shows, reported when it changes."""

    def __init__(self, env, shot, started):
        self.env, self.shot, self.started = env, shot, started
        self.shown = self.candidate = "nothing yet"
        self.since = started
        self.at = None       # where the icon was last seen, for the Exit click
        self.ever = self.warned = False    # whether any status icon has shown

    def look(self, icon):
        """Takes the icon the tray shows now; never done looking."""
        now = time.monotonic()
        if icon != self.candidate:
            self.candidate, self.since = icon, now
        # A change counts once two looks in a row agree, so a picture caught
        # half drawn or under the menu is not reported.
        elif icon != self.shown and (icon is not None or self.ever):
            say(tray.WORDS[icon], self.since - self.started)
            self.shown, self.ever = icon, self.ever or icon is not None
            # Wine hides the tray with its last icon: keep the last picture
            # that showed one rather than a black box.
            if icon is not None:
                tray.save_tray(self.env, self.shot)
        if not self.ever and not self.warned and now - self.started > QUIET:
            say("no icon yet, though vimra is running", now - self.started)
            self.warned = True
        return False

    def watch(self, seconds, give_up=lambda: False):
        """Looks at the tray for seconds, or until give_up()."""
        self.at = tray.wait_icon(self.env, self.look, seconds, POLL, give_up)[2] or self.at


def exit_as_user(view, proc, env):
    """Ends vimra with the Exit command of its icon's menu, or failing that
    with a close request to its window; kills it if neither works."""
    clicked, action = None, "the click"
    if view.at:
        say("clicking Exit in the icon's menu", time.monotonic() - view.started)
        clicked = tray.click_menu(env, *view.at, "vimra.exe", tray.EXIT)
    if clicked is None:
        say("%s; asking its window to close (WM_CLOSE)" % (
            "no menu opened at the icon" if view.at else "no icon to click"), time.monotonic() - view.started)
        clicked, action = time.monotonic(), "the request"
        # Without /f Wine's taskkill posts WM_CLOSE to the program's windows,
        # which ends vimra as its own Exit does.
        subprocess.run(wine.wine(env, "wine", "taskkill", "/im", "vimra.exe"), env=env, timeout=30,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    code = procs.wait_end(proc, EXIT_WAIT)
    took = time.monotonic() - clicked
    if code is None:
        say("vimra did not end within %.0f s; killing it" % EXIT_WAIT, time.monotonic() - view.started)
        proc.kill()
        return proc.wait()
    say("vimra ended with exit code %d, %d ms after %s" % (code, round(took * 1000), action),
        time.monotonic() - view.started)
    view.watch(2.5 * POLL)
    return code


def new_window(env, before, near):
    """A viewable top-level window that was not among before, starting
    within 40 pixels of near (x, y); its (x, y, w, h) or None."""
    for w in display.windows(env):
        if w not in before and w.w >= 8 and w.h >= 8 and abs(w.x - near[0]) <= 40 \
                and abs(w.y - near[1]) <= 40 and display.viewable(env, w):
            return w[3:]
    return None


def save(env, boxes, path):
    """The smallest screen area holding every box, zoomed, to path."""
    x0 = max(min(b[0] for b in boxes) - MARGIN, 0)
    y0 = max(min(b[1] for b in boxes) - MARGIN, 0)
    x1 = max(b[0] + b[2] for b in boxes) + MARGIN
    y1 = max(b[1] + b[3] for b in boxes) + MARGIN
    if not display.save(env, (x0, y0, x1 - x0, y1 - y0), path, ZOOM):
        return "could not write " + path
    say("wrote %s (%dx%d screen pixels)" % (path, x1 - x0, y1 - y0))


def screenshots(env, at, out):
    """tray-tip.png and tray-menu.png of the icon at (x, y) into out; what
    failed, or None."""
    area = tray.tray_box(env)
    under = (at[0], area[1] + area[3])
    before = [w for w in display.windows(env) if display.viewable(env, w)]
    # Two moves: Wine starts the tip's timer on pointer motion over the icon.
    display.mouse(env, at[0] - 1, at[1])
    display.mouse(env, at[0], at[1])
    tip = procs.poll(lambda: new_window(env, before, under), 5.0)
    if tip is None:
        return "no tip showed under the icon"
    time.sleep(0.3)  # let the tip finish drawing
    failed = save(env, [area, tip], os.path.join(out, "tray-tip.png"))
    display.mouse(env, 9999, 9999)
    procs.poll(lambda: new_window(env, before, under) is None, 3.0)
    menu = tray.open_menu(env, at[0], at[1], "vimra.exe")
    if failed or menu is None:
        return failed or "no menu opened on the right click"
    # The pointer onto the first item, so the menu shows as it does when used.
    display.mouse(env, menu.x + menu.w // 2, menu.y + menu.h // 4)
    time.sleep(0.3)
    failed = save(env, [area, menu[3:]], os.path.join(out, "tray-menu.png"))
    display.mouse(env, 400, 400, 1)   # away from the menu closes it
    procs.poll(lambda: not display.viewable(env, menu), 3.0)
    return failed


def explain_end(view, proc, address, log):
    code = proc.returncode
    at = time.monotonic() - view.started
    if not view.ever and code == 0:
        say("vimra ended with exit code 0 without showing an icon: %r is not an IPv4" % address, at)
        say("         address it accepts (it takes numbers such as 192.0.2.1 and looks up no names)")
    else:
        say("vimra ended by itself with exit code %d; Wine's last messages (all in %s): %s"
            % (code, log, procs.tail(log, 5)), at)
    return code


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--out", required=True, help="where the screenshot and Wine's log go")
    parser.add_argument("--for", dest="seconds", type=float,
                        help="end vimra with its Exit command after this many seconds")
    parser.add_argument("--screenshots", help="where tray-tip.png and tray-menu.png go")
    parser.add_argument("address")
    args = parser.parse_args()
    if args.seconds is not None and not args.seconds > 0:
        sys.exit("--for takes a number of seconds above 0")

    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, on_signal)
    os.makedirs(args.out, exist_ok=True)
    shot, log = os.path.join(args.out, "tray.png"), os.path.join(args.out, "wine.log")
    if os.path.exists(shot):
        os.remove(shot)   # a picture from an earlier run would mislead
    if not os.environ.get("WINEPREFIX"):
        sys.exit("WINEPREFIX names no Wine prefix")
    env = wine.wine_env(os.environ["WINEPREFIX"])
    xvfb = proc = half_made = None
    code = 130
    try:
        xvfb = display.start(env, os.path.join(args.out, "xvfb.log"))
        say("Running vimra.exe %s under %s on a virtual display (Xvfb %s, no window manager)."
            % (args.address, WINE_NAMES.get(env["VIMRA_LANE"], env["VIMRA_LANE"]), env["DISPLAY"]))
        say("Below: each change of its tray icon as read from the screen, timed from its start;")
        say("the notification area is saved to %s whenever it shows a new icon." % shot)
        if args.seconds is None:
            say("Ctrl-C to stop (--for SECONDS ends it after that long with its Exit command).")
        else:
            say("After %g s it is ended with the Exit command of its icon; Ctrl-C stops it sooner."
                % args.seconds)
        # Without Managed=N, Wine on a display with no window manager waits
        # 2 s whenever a window is hidden, the tray's own included.
        if not wine.prefix_ready(env["WINEPREFIX"]):
            new = not os.path.exists(os.path.join(env["WINEPREFIX"], "system.reg"))
            say("%s the Wine prefix %s%s..." % ("Creating" if new else "Preparing", env["WINEPREFIX"],
                                                 " (first run only, about 10 s)" if new else ""))
            # Wine marks a prefix up to date before it has filled it, so one
            # cut short would stay broken: such a prefix goes with the clean-up.
            half_made = None if os.path.exists(env["WINEPREFIX"]) else env["WINEPREFIX"]
            if not wine.prepare_prefix(env):
                say("could not create the Wine prefix")
                return 1
            half_made = None
        with open(log, "w") as err:
            proc = wine.start(env, args.exe, args.address, stdout=err, stderr=err)
        view = TrayView(env, shot, time.monotonic())
        seconds = 30.0 if args.screenshots else float("inf") if args.seconds is None else args.seconds
        view.watch(seconds, lambda: proc.poll() is not None or args.screenshots and view.shown == tray.BARS[5])
        failed = args.screenshots and proc.poll() is None and (
            screenshots(env, view.at, args.screenshots) if view.shown == tray.BARS[5] else "no five bars")
        if proc.poll() is not None:
            code = explain_end(view, proc, args.address, log)
        else:
            code = exit_as_user(view, proc, env)
        if failed:
            say("screenshots: " + failed)
            code = 1
    except Stop:
        # \r puts the message over the ^C the terminal echoed.
        print("\rstopping: ending %sWine, then the virtual display" % ("vimra, then " if proc else ""),
              flush=True)
    finally:
        # A second Ctrl-C must not cut the clean-up short and leave Wine behind.
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(number, signal.SIG_IGN)
        if proc and proc.poll() is None:
            proc.kill()
            proc.wait()
        if xvfb:
            wine.stop_prefix(env)
        if half_made:
            shutil.rmtree(half_made, ignore_errors=True)
            say("removed the unfinished Wine prefix; the next run makes it again")
        if xvfb:
            display.stop(xvfb)
    return code


if __name__ == "__main__":
    sys.exit(main())
