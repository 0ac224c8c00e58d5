#!/usr/bin/env python3
"""Writes the program's .ico files from the pixel art in icons/art.

usage: python3 resources/icongen.py [outdir]     (default: resources/icons)
       python3 resources/icongen.py --docs DIR   (DIR/status-icons.png)

The 16x16 pictures come from two hand-drawn grids: bars.txt (the five bars
of the signal scale, each drawn with its number 1 to 5) and down.txt (the
cross). A picture with N bars lit paints bars 1 to N white, the rest grey.
The larger images of the application icon are drawn from a small vector
outline so they stay sharp at every size.
The --docs picture shows the seven status pictures from the same art,
enlarged without smoothing, each over the band of the shown value it stands
for and an example of its tip, in a small built-in bitmap font.
Output is byte-identical on every run: no timestamps, fixed zlib level.
"""

import os
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ART_DIR = os.path.join(HERE, "icons", "art")

# Straight (not premultiplied) RGBA for each art character.
INKS = {
    "W": (255, 255, 255, 255),
    "g": (154, 154, 154, 255),
    "s": (0, 0, 0, 86),
    ".": (0, 0, 0, 0),
}

# The bar numbers of bars.txt, which light_bars turns into inks.
BARS = "12345"

# The larger images of the application icon, on a 32-unit grid so that the
# straight edges fall on pixel boundaries at 32, 64, 128 and 256 pixels.
# Every shape is a convex polygon (x, y), y downwards.
def rect(x0, y0, x1, y1):
    return ((x0, y0), (x1, y0), (x1, y1), (x0, y1))

APP_SHAPES = (
    # right-pointing arrow, dashed tail on the left
    ((22, 1), (30, 6), (22, 11)),
    rect(14, 4, 23, 8),
    rect(10, 4, 12, 8),
    rect(6, 4, 8, 8),
    # left-pointing arrow below it, dashed tail on the right
    ((10, 9), (10, 21), (2, 15)),
    rect(9, 13, 18, 17),
    rect(20, 13, 22, 17),
    rect(24, 13, 26, 17),
    # five bars rising from left to right, all lit
    rect(2, 27, 6, 30),
    rect(8, 25, 12, 30),
    rect(14, 23, 18, 30),
    rect(20, 21, 24, 30),
    rect(26, 19, 30, 30),
)
APP_GRID = 32
SHADOW_REACH = 1      # grid units the shadow extends around the white
SHADOW_ALPHA = 86     # same weight as the shadow of the 16x16 art
SUPERSAMPLE = 4       # 4x4 samples per pixel for the edge coverage
PNG_FROM = 32         # images this size and up are stored as PNG


def read_art(name):
    with open(os.path.join(ART_DIR, name), encoding="ascii") as f:
        rows = [line.rstrip("\n") for line in f if line.strip()]
    if len(rows) != 16 or any(len(r) != 16 or set(r) - set(INKS) - set(BARS) for r in rows):
        sys.exit("icongen: %s must be 16 rows of 16 characters from %s"
                 % (name, "".join(INKS) + BARS))
    return rows


def light_bars(art, lit):
    """The bars art with bars 1 to lit white and the others grey."""
    def ink(c):
        if c in BARS:
            return "W" if int(c) <= lit else "g"
        return c
    return ["".join(ink(c) for c in row) for row in art]


def art_pixels(art):
    return [INKS[c] for row in art for c in row]


def bmp_image(size, pixels):
    """Classic icon image: header with doubled height, bottom-up BGRA, AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = bytearray()
    mask = bytearray()
    mask_stride = ((size + 31) // 32) * 4
    for y in range(size - 1, -1, -1):
        line = pixels[y * size:(y + 1) * size]
        for r, g, b, a in line:
            colour += bytes((b, g, r, a))
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(line):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    image = header + colour + mask
    # biSizeImage: the colour and mask bits together
    return image[:20] + struct.pack("<I", len(colour) + len(mask)) + image[24:]


def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(
        ">I", zlib.crc32(kind + data) & 0xFFFFFFFF)


def png_image(size, pixels, height=None):
    """RGBA PNG, size pixels wide and height (default: size) tall."""
    height = size if height is None else height
    raw = bytearray()
    for y in range(height):
        raw.append(1)  # Sub filter: the long flat runs become zeros
        previous = (0, 0, 0, 0)
        for pixel in pixels[y * size:(y + 1) * size]:
            raw += bytes((pixel[i] - previous[i]) & 0xFF for i in range(4))
            previous = pixel
    return (b"\x89PNG\r\n\x1a\n"
            + png_chunk(b"IHDR", struct.pack(">IIBBBBB", size, height, 8, 6, 0, 0, 0))
            + png_chunk(b"IDAT", zlib.compress(bytes(raw), 9))
            + png_chunk(b"IEND", b""))


def ico_file(images):
    """images: list of (size, encoded image bytes)."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        side = size if size < 256 else 0
        out += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for _, data in images:
        out += data
    return out


def grown(shape, reach):
    """Convex hull of the shape moved around an octagon of the given reach."""
    d = reach * 0.4142  # octagon's short offset: reach * tan(22.5 deg)
    ring = ((reach, d), (d, reach), (-d, reach), (-reach, d),
            (-reach, -d), (-d, -reach), (d, -reach), (reach, -d))
    return convex_hull([(x + dx, y + dy) for x, y in shape for dx, dy in ring])


def convex_hull(points):
    pts = sorted(set(points))

    def cross(o, a, b):
        return (a[0] - o[0]) * (b[1] - o[1]) - (a[1] - o[1]) * (b[0] - o[0])

    lower, upper = [], []
    for p in pts:
        while len(lower) >= 2 and cross(lower[-2], lower[-1], p) <= 0:
            lower.pop()
        lower.append(p)
    for p in reversed(pts):
        while len(upper) >= 2 and cross(upper[-2], upper[-1], p) <= 0:
            upper.pop()
        upper.append(p)
    return tuple(lower[:-1] + upper[:-1])


def coverage(size, shapes):
    """Per pixel, how many of the SUPERSAMPLE^2 samples fall in any shape."""
    n = size * SUPERSAMPLE
    scale = n / APP_GRID
    hit = bytearray(n * n)
    for shape in shapes:
        pts = [(x * scale, y * scale) for x, y in shape]
        # edges as half-planes; orientation fixed by the polygon's signed area
        area = sum(pts[i][0] * pts[i - 1][1] - pts[i - 1][0] * pts[i][1]
                   for i in range(len(pts)))
        sign = 1 if area > 0 else -1
        edges = []
        for i in range(len(pts)):
            (x0, y0), (x1, y1) = pts[i - 1], pts[i]
            edges.append((x0, y0, (x1 - x0) * sign, (y1 - y0) * sign))
        xs = [p[0] for p in pts]
        ys = [p[1] for p in pts]
        for sy in range(max(0, int(min(ys))), min(n, int(max(ys)) + 1)):
            py = sy + 0.5
            for sx in range(max(0, int(min(xs))), min(n, int(max(xs)) + 1)):
                px = sx + 0.5
                for x0, y0, ex, ey in edges:
                    if ex * (py - y0) - ey * (px - x0) > 0:
                        break
                else:
                    hit[sy * n + sx] = 1
    counts = [0] * (size * size)
    for sy in range(n):
        row = (sy // SUPERSAMPLE) * size
        base = sy * n
        for sx in range(n):
            if hit[base + sx]:
                counts[row + sx // SUPERSAMPLE] += 1
    return counts


def app_pixels(size):
    full = SUPERSAMPLE * SUPERSAMPLE
    white = coverage(size, APP_SHAPES)
    shadow = coverage(size, [grown(s, SHADOW_REACH) for s in APP_SHAPES])
    pixels = []
    for cw, cs in zip(white, shadow):
        # white over black shadow, straight alpha, in exact integers
        w = 255 * cw * full                     # white alpha, scaled by full^2
        s = SHADOW_ALPHA * cs * (full - cw)     # shadow showing through
        total = w + s
        if total == 0:
            pixels.append((0, 0, 0, 0))
            continue
        alpha = (total + full * full // 2) // (full * full)
        grey = (255 * w + total // 2) // total
        pixels.append((grey, grey, grey, alpha))
    return pixels


# ---- The docs picture -------------------------------------------------------

# In the order the signal falls, each status picture with the band of the
# shown value it stands for (SelectStatusIcon in monitor/latency_status.cpp)
# and the tips it can carry: "NNNms" below 2000, "Timeout" from 2000 on.
DOC_BANDS = (
    (5, "0-100 ms", ("42ms",)),
    (4, "101-150 ms", ("128ms",)),
    (3, "151-250 ms", ("203ms",)),
    (2, "251-450 ms", ("347ms",)),
    (1, "451-650 ms", ("560ms",)),
    (0, "651-900 ms", ("784ms",)),
    (None, "901+ ms", ("1200ms", "Timeout")),
)
DOC_ZOOM = 8          # nearest neighbour: every art pixel becomes 8x8
DOC_TEXT = 2          # the font's pixels drawn 2x2
DOC_MARGIN = 16
DOC_GAP = 24
# A dark taskbar behind the icons, as on a default Windows desktop, and a
# light tooltip box round each tip.
DOC_GROUND = (32, 32, 32)
DOC_LABEL = (210, 210, 210)
DOC_TIP_FILL = (249, 249, 249)
DOC_TIP_EDGE = (118, 118, 118)
DOC_TIP_TEXT = (30, 30, 30)

# 5x7 glyphs, only those the labels use.
FONT = {
    "0": (".###.", "#...#", "#..##", "#.#.#", "##..#", "#...#", ".###."),
    "1": ("..#..", ".##..", "..#..", "..#..", "..#..", "..#..", ".###."),
    "2": (".###.", "#...#", "....#", "...#.", "..#..", ".#...", "#####"),
    "3": ("#####", "...#.", "..#..", "...#.", "....#", "#...#", ".###."),
    "4": ("...#.", "..##.", ".#.#.", "#..#.", "#####", "...#.", "...#."),
    "5": ("#####", "#....", "####.", "....#", "....#", "#...#", ".###."),
    "6": ("..##.", ".#...", "#....", "####.", "#...#", "#...#", ".###."),
    "7": ("#####", "....#", "...#.", "..#..", ".#...", ".#...", ".#..."),
    "8": (".###.", "#...#", "#...#", ".###.", "#...#", "#...#", ".###."),
    "9": (".###.", "#...#", "#...#", ".####", "....#", "...#.", ".##.."),
    "-": (".....", ".....", ".....", "#####", ".....", ".....", "....."),
    "+": (".....", "..#..", "..#..", "#####", "..#..", "..#..", "....."),
    " ": (".....",) * 7,
    "m": (".....", ".....", "##.#.", "#.#.#", "#.#.#", "#.#.#", "#.#.#"),
    "s": (".....", ".....", ".####", "#....", ".###.", "....#", "####."),
    "T": ("#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."),
    "i": ("..#..", ".....", ".##..", "..#..", "..#..", "..#..", ".###."),
    "e": (".....", ".....", ".###.", "#...#", "#####", "#....", ".###."),
    "o": (".....", ".....", ".###.", "#...#", "#...#", "#...#", ".###."),
    "u": (".....", ".....", "#...#", "#...#", "#...#", "#..##", ".##.#"),
    "t": (".#...", ".#...", "###..", ".#...", ".#...", ".#..#", "..##."),
}
GLYPH_ADVANCE = 6     # 5 columns and a blank one, in font pixels


class Canvas:
    def __init__(self, width, height, ground):
        self.width, self.height = width, height
        self.pixels = [ground] * (width * height)

    def fill(self, x0, y0, w, h, colour):
        for y in range(y0, y0 + h):
            self.pixels[y * self.width + x0:y * self.width + x0 + w] = [colour] * w

    def art(self, x0, y0, rows):
        """Pixel art enlarged DOC_ZOOM times, blended over what is there."""
        for y, row in enumerate(rows):
            for x, c in enumerate(row):
                r, g, b, a = INKS[c]
                for py in range(y0 + y * DOC_ZOOM, y0 + (y + 1) * DOC_ZOOM):
                    for px in range(x0 + x * DOC_ZOOM, x0 + (x + 1) * DOC_ZOOM):
                        under = self.pixels[py * self.width + px]
                        self.pixels[py * self.width + px] = tuple(
                            (ink * a + u * (255 - a) + 127) // 255
                            for ink, u in zip((r, g, b), under))

    def text(self, x0, y0, text, colour):
        for i, ch in enumerate(text):
            for y, row in enumerate(FONT[ch]):
                for x, c in enumerate(row):
                    if c == "#":
                        self.fill(x0 + (i * GLYPH_ADVANCE + x) * DOC_TEXT,
                                  y0 + y * DOC_TEXT, DOC_TEXT, DOC_TEXT, colour)


def text_width(text):
    return (len(text) * GLYPH_ADVANCE - 1) * DOC_TEXT


def docs_picture(bars, down):
    tile = 16 * DOC_ZOOM
    line = 7 * DOC_TEXT
    pad = 5
    box = line + 2 * pad + 2
    label_y = DOC_MARGIN + tile + 14
    tip_y = label_y + line + 12
    tips = max(len(t) for _, _, t in DOC_BANDS)
    width = 2 * DOC_MARGIN + len(DOC_BANDS) * tile + (len(DOC_BANDS) - 1) * DOC_GAP
    height = tip_y + tips * box + (tips - 1) * 6 + DOC_MARGIN
    canvas = Canvas(width, height, DOC_GROUND)
    for i, (lit, label, examples) in enumerate(DOC_BANDS):
        x = DOC_MARGIN + i * (tile + DOC_GAP)
        centre = x + tile // 2
        canvas.art(x, DOC_MARGIN, down if lit is None else light_bars(bars, lit))
        canvas.text(centre - text_width(label) // 2, label_y, label, DOC_LABEL)
        for j, tip in enumerate(examples):
            w = text_width(tip) + 2 * pad + 2
            bx, by = centre - w // 2, tip_y + j * (box + 6)
            canvas.fill(bx, by, w, box, DOC_TIP_EDGE)
            canvas.fill(bx + 1, by + 1, w - 2, box - 2, DOC_TIP_FILL)
            canvas.text(bx + 1 + pad, by + 1 + pad, tip, DOC_TIP_TEXT)
    return png_image(width, [p + (255,) for p in canvas.pixels], height)


def main(argv):
    if len(argv) == 3 and argv[1] == "--docs":
        os.makedirs(argv[2], exist_ok=True)
        picture = docs_picture(read_art("bars.txt"), read_art("down.txt"))
        with open(os.path.join(argv[2], "status-icons.png"), "wb") as f:
            f.write(picture)
        return 0
    if len(argv) > 2 or (len(argv) == 2 and argv[1].startswith("-")):
        sys.exit(__doc__.split("\n\n")[1])
    outdir = argv[1] if len(argv) > 1 else os.path.join(HERE, "icons")
    os.makedirs(outdir, exist_ok=True)
    bars = read_art("bars.txt")
    down = read_art("down.txt")

    files = {"status_down.ico": ico_file([(16, bmp_image(16, art_pixels(down)))])}
    for lit in range(0, 6):
        files["status_%d.ico" % lit] = ico_file(
            [(16, bmp_image(16, art_pixels(light_bars(bars, lit))))])
    app = [(16, bmp_image(16, art_pixels(light_bars(bars, 5))))]
    for size in (32, 64, 128, 256):
        encode = png_image if size >= PNG_FROM else bmp_image
        app.append((size, encode(size, app_pixels(size))))
    files["app.ico"] = ico_file(app)

    for name in sorted(files):
        with open(os.path.join(outdir, name), "wb") as f:
            f.write(files[name])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
