"""Wine's notification area on the display: where it is, which of the
program's status pictures it shows (read from the screen), and the icon's
menu."""

import functools
import os
import re
import sys
import time

from harness import display, procs

RESOURCES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "resources")
sys.path.insert(0, RESOURCES)
import icongen  # noqa: E402

# The program's resource identifiers, as the code and its resource script
# have them: the status icons, the menu's commands.
with open(os.path.join(RESOURCES, "resource.h")) as _f:
    IDS = {m.group(1): int(m.group(2)) for m in re.finditer(r"#define (\w+) (\d+)", _f.read())}
CROSS = IDS["IDI_STATUS_DOWN"]
# Status icon -> lit bars, five first: the order the screen is matched in.
LIT_BARS = {IDS["IDI_STATUS_%d" % lit]: lit for lit in (5, 4, 3, 2, 1, 0)}
BARS = {lit: icon for icon, lit in LIT_BARS.items()}
ANY = frozenset(LIT_BARS) | {CROSS}
# What a person calls each status picture, as the README's table does.
WORDS = {icon: ("no bars lit", "one bar", "two bars", "three bars", "four bars", "five bars")[lit]
         for icon, lit in LIT_BARS.items()}
WORDS.update({CROSS: "cross", None: "no icon"})


def named(icons):
    """The status icons by name with their ids: 'five bars (137)' or 'cross (132) or ...'."""
    return " or ".join("%s (%s)" % (WORDS.get(i, "unknown icon"), i) if i is not None else WORDS[None]
                       for i in sorted(icons, key=lambda i: -1 if i is None else i))
# The icon's menu, top to bottom.
ABOUT, EXIT = 0, 1


def tray_box(env):
    """(x, y, w, h) of the notification area's part on the screen, or None.

    The notification area is what it is, not what it is called: the one
    top-level window that Wine's explorer.exe shows. Wine 8 titles it "Wine
    System Tray", Wine 10 leaves it unnamed and draws a taller caption; its
    other windows stay unmapped 1x1 stand-ins, and it unmaps itself with its
    last icon."""
    for window in display.windows(env):
        if window.cls.split('"')[1:2] == ["explorer.exe"] and window.w > 1 and window.h > 1 \
                and display.viewable(env, window):
            width, height = display.SCREEN
            x, y = max(window.x, 0), max(window.y, 0)
            return x, y, min(window.w, width - x), min(window.h, height - y)
    return None


@functools.lru_cache(maxsize=None)
def status_pictures():
    """Status icon id -> 16 rows of W/g/s/. as the tray should show it,
    drawn from the art once."""
    bars = icongen.read_art("bars.txt")
    pictures = {CROSS: icongen.read_art("down.txt")}
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


def classify(pixels, width, ox, oy):
    """The status picture drawn with its top left at (ox, oy), or None."""
    for icon, rows in status_pictures().items():
        if all(ink_matches(rows[y][x], pixels[(oy + y) * width + ox + x])
               for y in range(16) for x in range(16)):
            return icon
    return None


def find_status_icon(env):
    """(status icon id, its centre on the screen) of the first icon the
    tray draws, or (None, None) when it draws none of them."""
    box = tray_box(env)
    raw = box and box[2] >= 16 and box[3] >= 16 and display.grab(env, box)
    if not raw:
        return None, None
    x, y, w, h = box
    grey = raw[0::3]
    # The first icon sits a small margin inside the tray's client area, below
    # a caption when Wine draws the frame itself.
    for oy in range(0, h - 15):
        for ox in range(0, min(12, w - 15)):
            icon = classify(grey, w, ox, oy)
            if icon is not None:
                return icon, (x + ox + 8, y + oy + 8)
    return None, None


def wait_icon(env, accept, within, step=0.03, give_up=lambda: False):
    """Looks at the tray until accept(icon), the status icon it shows (None:
    none), within `within` seconds or until give_up(). Returns (seconds
    taken or None, the last icon seen, where the last icon was seen)."""
    start, icon, at = time.monotonic(), None, None
    while time.monotonic() - start < within and not give_up():
        icon, centre = find_status_icon(env)
        at = centre or at
        if accept(icon):
            return time.monotonic() - start, icon, at
        time.sleep(step)
    return None, icon, at


def open_menu(env, x, y, image, within=3.0):
    """Right-clicks the icon at screen (x, y); the Window of the menu that
    `image` opens at the cursor, or None."""
    display.mouse(env, x, y, 3)
    return procs.poll(lambda: next((m for m in display.windows(env) if image in m.cls.lower() and abs(
        m.x - x) <= 3 and abs(m.y - y) <= 3 and m.w >= 30 and m.h >= 20), None), within, 0.03)


def click_menu(env, x, y, image, item, within=3.0):
    """Clicks item (ABOUT or EXIT) of the two-item menu of the icon at
    screen (x, y). Returns the time of the click, or None when no menu
    opened."""
    menu = open_menu(env, x, y, image, within)
    if menu is None:
        return None
    display.mouse(env, menu.x + menu.w // 2, menu.y + (2 * item + 1) * menu.h // 4)
    display.x11(env, "xdotool", "click", "1")
    # The menu acts on the release, the end of the click.
    clicked = time.monotonic()
    display.mouse(env, 9999, 9999)  # out of the way
    return clicked


def save_tray(env, path):
    """Writes the notification area as it is on the screen to path (a PNG);
    returns False when there is no tray to take."""
    box = tray_box(env)
    return bool(box and box[2] > 0 and box[3] > 0) and display.save(env, box, path)
