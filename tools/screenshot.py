#!/usr/bin/env python3
"""Screenshots of vimra.exe in Wine's notification area, on the X display
tools/screenshot.sh provides: tray-tip.png (the icon hovered, its tip shown)
and tray-menu.png (the icon right-clicked, its menu open).

usage: screenshot.py --exe VIMRA.EXE --prefix WINEPREFIX --out DIR
"""

import argparse
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import wine_tray  # noqa: E402

TARGET = "127.0.0.1"   # loopback only: nothing leaves the machine
FIVE_BARS = 137
MARGIN = 6             # screen pixels kept round the area of interest
ZOOM = "200%"          # whole pixels, no smoothing: the 16x16 icon stays sharp


def new_window(env, before, near):
    """A viewable top-level window that was not there before, starting
    within 40 pixels of near (x, y); its (x, y, w, h) or None."""
    for wid, _, _, w, h, x, y in wine_tray.top_windows(env):
        if (wid, x, y, w, h) in before or w < 8 or h < 8:
            continue
        if abs(x - near[0]) <= 40 and abs(y - near[1]) <= 40 and wine_tray.viewable(env, wid):
            return x, y, w, h
    return None


def shown(env):
    return {(wid, x, y, w, h) for wid, _, _, w, h, x, y in wine_tray.top_windows(env)
            if wine_tray.viewable(env, wid)}


def save(env, boxes, path):
    """The smallest screen area holding every box, zoomed, to path."""
    x0 = max(min(b[0] for b in boxes) - MARGIN, 0)
    y0 = max(min(b[1] for b in boxes) - MARGIN, 0)
    x1 = max(b[0] + b[2] for b in boxes) + MARGIN
    y1 = max(b[1] + b[3] for b in boxes) + MARGIN
    if not wine_tray.save_area(env, (x0, y0, x1 - x0, y1 - y0), path, ZOOM):
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
    env = wine_tray.wine_env(os.path.abspath(opts.prefix))
    if not wine_tray.prepare_prefix(env):
        sys.exit("screenshot: could not make the Wine prefix " + opts.prefix)
    image = os.path.basename(opts.exe).lower()
    pictures = wine_tray.status_pictures()
    proc = subprocess.Popen(wine_tray.wine(env, "wine", opts.exe, TARGET), env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        def five_bars():
            icon, at = wine_tray.find_status_icon(env, pictures)
            return at if icon == FIVE_BARS else None

        at = wine_tray.poll(five_bars, 30.0, 0.1)
        if at is None:
            sys.exit("screenshot: five bars did not show within 30 s")
        tray = wine_tray.tray_box(env)

        before = shown(env)
        # Two moves: Wine starts the tip's timer on pointer motion over the icon.
        wine_tray.x11(env, "xdotool", "mousemove", str(at[0] - 1), str(at[1]))
        wine_tray.x11(env, "xdotool", "mousemove", str(at[0]), str(at[1]))
        tip = wine_tray.poll(lambda: new_window(env, before, (at[0], tray[1] + tray[3])), 5.0)
        if tip is None:
            sys.exit("screenshot: no tip showed under the icon")
        time.sleep(0.3)  # let the tip finish drawing
        save(env, [tray, tip], os.path.join(opts.out, "tray-tip.png"))

        wine_tray.x11(env, "xdotool", "mousemove", "9999", "9999")
        wine_tray.poll(lambda: new_window(env, before, (at[0], tray[1] + tray[3])) is None, 3.0)
        before = shown(env)
        wine_tray.x11(env, "xdotool", "mousemove", str(at[0]), str(at[1]), "click", "3")
        menu = wine_tray.poll(lambda: new_window(env, before, at), 5.0)
        if menu is None:
            sys.exit("screenshot: no menu opened on the right click")
        # The pointer onto the first item, so the menu shows as it does when used.
        wine_tray.x11(env, "xdotool", "mousemove", str(menu[0] + menu[2] // 2), str(menu[1] + menu[3] // 4))
        time.sleep(0.3)
        save(env, [tray, menu], os.path.join(opts.out, "tray-menu.png"))

        # Away from the menu closes it; then Exit the way the end-to-end
        # tests choose it.
        wine_tray.x11(env, "xdotool", "mousemove", "400", "400", "click", "1")
        wine_tray.poll(lambda: new_window(env, before, at) is None, 3.0)
        if wine_tray.click_exit(env, at[0], at[1], image) is None:
            sys.exit("screenshot: no menu to choose Exit from")
        try:
            code = proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            sys.exit("screenshot: vimra did not end after Exit")
        print("vimra ended by Exit with code %d" % code)
    finally:
        if proc.poll() is None:
            proc.kill()
        wine_tray.stop_prefix(env)


if __name__ == "__main__":
    main()
