#!/usr/bin/env python3
"""Screenshots of vimra.exe in Wine's notification area, on the X display
tools/screenshot.sh provides: tray-tip.png (the icon hovered, its tip shown)
and tray-menu.png (the icon right-clicked, its menu open).

usage: screenshot.py --exe VIMRA.EXE --prefix WINEPREFIX --out DIR
"""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from harness import display, procs, tray, wine  # noqa: E402

TARGET = "127.0.0.1"   # loopback only: nothing leaves the machine
MARGIN = 6             # screen pixels kept round the area of interest
ZOOM = "200%"          # whole pixels, no smoothing: the 16x16 icon stays sharp


def shown(env):
    """The viewable top-level windows."""
    return [w for w in display.windows(env) if display.viewable(env, w)]


def new_window(env, before, near):
    """A viewable top-level window that was not there before, starting
    within 40 pixels of near (x, y); its (x, y, w, h) or None."""
    for w in display.windows(env):
        if w in before or w.w < 8 or w.h < 8:
            continue
        if abs(w.x - near[0]) <= 40 and abs(w.y - near[1]) <= 40 and display.viewable(env, w):
            return w.x, w.y, w.w, w.h
    return None


def save(env, boxes, path):
    """The smallest screen area holding every box, zoomed, to path."""
    x0 = max(min(b[0] for b in boxes) - MARGIN, 0)
    y0 = max(min(b[1] for b in boxes) - MARGIN, 0)
    x1 = max(b[0] + b[2] for b in boxes) + MARGIN
    y1 = max(b[1] + b[3] for b in boxes) + MARGIN
    if not display.save(env, (x0, y0, x1 - x0, y1 - y0), path, ZOOM):
        sys.exit("screenshot: could not write " + path)
    print("wrote %s (%dx%d screen pixels)" % (path, x1 - x0, y1 - y0))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--out", required=True)
    opts = parser.parse_args()
    if not os.environ.get("DISPLAY"):
        sys.exit("screenshot: needs an X display (run through tools/screenshot.sh)")
    env = wine.wine_env(os.path.abspath(opts.prefix))
    if not wine.prepare_prefix(env):
        sys.exit("screenshot: could not make the Wine prefix " + opts.prefix)
    proc = wine.start(env, opts.exe, TARGET)
    try:
        def five_bars():
            icon, at = tray.find_status_icon(env)
            return at if tray.LIT_BARS.get(icon) == 5 else None

        at = procs.poll(five_bars, 30.0, 0.1)
        if at is None:
            sys.exit("screenshot: five bars did not show within 30 s")
        area = tray.tray_box(env)
        under = (at[0], area[1] + area[3])

        before = shown(env)
        # Two moves: Wine starts the tip's timer on pointer motion over the icon.
        display.mouse(env, at[0] - 1, at[1])
        display.mouse(env, at[0], at[1])
        tip = procs.poll(lambda: new_window(env, before, under), 5.0)
        if tip is None:
            sys.exit("screenshot: no tip showed under the icon")
        time.sleep(0.3)  # let the tip finish drawing
        save(env, [area, tip], os.path.join(opts.out, "tray-tip.png"))

        display.mouse(env, 9999, 9999)
        procs.poll(lambda: new_window(env, before, under) is None, 3.0)
        before = shown(env)
        display.mouse(env, at[0], at[1], 3)
        menu = procs.poll(lambda: new_window(env, before, at), 5.0)
        if menu is None:
            sys.exit("screenshot: no menu opened on the right click")
        # The pointer onto the first item, so the menu shows as it does when used.
        display.mouse(env, menu[0] + menu[2] // 2, menu[1] + menu[3] // 4)
        time.sleep(0.3)
        save(env, [area, menu], os.path.join(opts.out, "tray-menu.png"))

        # Away from the menu closes it; then Exit the way the end-to-end
        # tests choose it.
        display.mouse(env, 400, 400, 1)
        procs.poll(lambda: new_window(env, before, at) is None, 3.0)
        if tray.click_menu(env, at[0], at[1], os.path.basename(opts.exe).lower(), tray.EXIT) is None:
            sys.exit("screenshot: no menu to choose Exit from")
        code = procs.wait_end(proc, 10)
        if code is None:
            sys.exit("screenshot: vimra did not end after Exit")
        print("vimra ended by Exit with code %d" % code)
    finally:
        if proc.poll() is None:
            proc.kill()
        wine.stop_prefix(env)


if __name__ == "__main__":
    main()
