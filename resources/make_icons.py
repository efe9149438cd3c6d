#!/usr/bin/env python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""Draws the ID3 Vimbrel menu and tray icons and writes them as .ico files.

Run:  python3 resources/make_icons.py
It rewrites every .ico beside this script; the output is byte-identical on
every run, so the committed icons can always be regenerated and compared.
Standard library only: each picture is computed from geometry, anti-aliased
by supersampling, and stored as 32-bit BGRA images (straight alpha) with a
1-bit AND mask, one image per size the plugin may be asked for.
"""
import math
import os
import struct

# ---------------------------------------------------------------------------
# Colours, (R, G, B). Tests tell the pictures apart by channel ranges:
#   orange     R > 200, 100 < G < 190, B < 60   (MENU_STAR_CURRENT, TRAY_ORANGE)
#   grey-blue  B > R + 20                       (MENU_STAR, MENU_STAR_HOT)
# MENU_STAR_CURRENT_HOT (G = 72), the greys and both rims match neither range.
# ---------------------------------------------------------------------------
MENU_STAR = (176, 190, 212)              # 103: star of a row that is not the current rating
MENU_STAR_HOT = (104, 120, 150)          # 104: same, highlighted row
MENU_STAR_CURRENT = (255, 152, 0)        # 105: star of the row equal to the current rating
MENU_STAR_CURRENT_HOT = (232, 72, 16)    # 106: same, highlighted row
MENU_DOT = (200, 200, 200)               # 107: position beyond the row's stars
MENU_DOT_HOT = (120, 120, 120)           # 108: same, highlighted row
TRAY_GREY = (160, 160, 160)              # 110-115: points not (yet) lit
TRAY_ORANGE = (255, 152, 0)              # 110-115: lit points
TRAY_OUTLINE = (64, 64, 64)              # 110-115: rim of grey parts, so the star reads on light taskbars
TRAY_OUTLINE_LIT = (150, 72, 0)          # 110-115: rim of orange parts, dark enough to rim yet still warm,
                                         #          so a lit point looks lit all the way to its edge

# ---------------------------------------------------------------------------
# Geometry, in pixels of the smallest size. Coordinates run right (x) and down
# (y); angles are in degrees, clockwise from the +x axis, so -90 is straight up.
# Larger sizes scale it, keeping the star's column on a pixel centre (menu) or
# a pixel edge (tray) as at the smallest size.
# ---------------------------------------------------------------------------
SAMPLES = 8                 # supersamples per pixel along each axis
STAR_INNER_RATIO = 0.5      # inner / outer radius; chunkier than the classic 0.38 so points stay visible at 12 px
MENU_SIZE = 12
MENU_STAR_RADIUS = 5.75     # outer radius; the star spans 10.9 px wide
MENU_STAR_X = 5.5           # on a pixel centre, so the top point ends in one sharp pixel
MENU_DOT_RADIUS = 1.9
TRAY_SIZE = 16
TRAY_STAR_RADIUS = 8.0
TRAY_STAR_X = 8.0           # on a pixel edge: the outlined top point keeps two columns of colour
TRAY_OUTLINE_WIDTH = 0.6    # measured inwards from the star's edge
# The sizes in each .ico: the menu at 100, 125, 150 and 200 % display scale
# (12-px pictures in 20-px rows at 96 DPI), the tray at the small-icon sizes
# of 100 to 300 %.
MENU_SIZES = (12, 15, 18, 24)
TRAY_SIZES = (16, 20, 24, 32, 40, 48)
# Tip angles of the up-pointing star, listed in the order the tray points turn
# orange: right, lower right, lower left, left, top.
STAR_TIP_ANGLES = (-18, 54, 126, 198, -90)


def star_shape(size, cx, radius):
    """Centre, tip directions and outline vertices of an up-pointing star
    whose vertical middle is the icon's and whose centre column is cx.

    The star is taller above its centre (radius) than below (radius*cos 36),
    so the centre drops a little to put the whole star in the middle."""
    cy = size / 2.0 + radius * (1 - math.cos(math.radians(36))) / 2
    tips = [math.radians(a) for a in STAR_TIP_ANGLES]
    verts = []
    for a in sorted(tips):
        for r, da in ((radius, 0.0), (radius * STAR_INNER_RATIO, math.radians(36))):
            verts.append((cx + r * math.cos(a + da), cy + r * math.sin(a + da)))
    return (cx, cy), tips, verts


def inside(poly, x, y):
    """Even-odd rule point-in-polygon test."""
    hit = False
    j = len(poly) - 1
    for i in range(len(poly)):
        (xi, yi), (xj, yj) = poly[i], poly[j]
        if (yi > y) != (yj > y) and x < xi + (y - yi) * (xj - xi) / (yj - yi):
            hit = not hit
        j = i
    return hit


def edge_distance(poly, x, y):
    """Shortest distance from (x, y) to the polygon's outline."""
    best = float("inf")
    for i in range(len(poly)):
        (ax, ay), (bx, by) = poly[i - 1], poly[i]
        dx, dy = bx - ax, by - ay
        t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
        best = min(best, math.hypot(x - ax - t * dx, y - ay - t * dy))
    return best


def render(size, paint):
    """Supersample paint(x, y) -> (R, G, B) or None into RGBA pixel rows.

    Alpha is the covered fraction; colour is the mean of the covered samples
    only (straight alpha), so edge pixels keep the full colour."""
    n = SAMPLES * SAMPLES
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            hits, acc = 0, [0, 0, 0]
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    c = paint(px + (sx + 0.5) / SAMPLES, py + (sy + 0.5) / SAMPLES)
                    if c is not None:
                        hits += 1
                        acc = [a + v for a, v in zip(acc, c)]
            if hits:
                rgb = [(2 * a + hits) // (2 * hits) for a in acc]
                row.append((*rgb, (255 * hits * 2 + n) // (2 * n)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def menu_star_x(size):
    """The menu star's column at this size: on the pixel centre nearest below."""
    return math.floor(MENU_STAR_X * size / MENU_SIZE) + 0.5


def menu_star(colour, size):
    _, _, verts = star_shape(size, menu_star_x(size), MENU_STAR_RADIUS * size / MENU_SIZE)
    return render(size, lambda x, y: colour if inside(verts, x, y) else None)


def menu_dot(colour, size):
    # Same column as the menu stars, so dots and stars of a row line up.
    cx, cy, radius = menu_star_x(size), size / 2.0, MENU_DOT_RADIUS * size / MENU_SIZE
    return render(size, lambda x, y: colour if math.hypot(x - cx, y - cy) <= radius else None)


def tray_star(stars, size):
    """Grey star whose first `stars` points (STAR_TIP_ANGLES order) are orange.

    Each point owns the wedge of +-36 degrees around its tip outside the
    inner pentagon; the pentagon turns orange only with all five points."""
    scale = size / TRAY_SIZE
    radius, outline = TRAY_STAR_RADIUS * scale, TRAY_OUTLINE_WIDTH * scale
    (cx, cy), tips, verts = star_shape(size, round(TRAY_STAR_X * scale), radius)
    apothem = radius * STAR_INNER_RATIO * math.cos(math.radians(36))

    def paint(x, y):
        if not inside(verts, x, y):
            return None
        dx, dy = x - cx, y - cy
        # Projection on each tip direction: beyond the apothem means outside the pentagon.
        proj = [dx * math.cos(a) + dy * math.sin(a) for a in tips]
        if max(proj) <= apothem:
            lit = stars == 5
        else:
            lit = proj.index(max(proj)) < stars  # nearest tip direction = the point's wedge
        if edge_distance(verts, x, y) < outline:
            return TRAY_OUTLINE_LIT if lit else TRAY_OUTLINE
        return TRAY_ORANGE if lit else TRAY_GREY

    return render(size, paint)


def dib_bytes(rows):
    """One icon image: 32-bit BGRA DIB (bottom-up, height doubled) + AND mask."""
    size = len(rows)
    xor = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    stride = (size + 31) // 32 * 4          # mask rows padded to 32 bits
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(stride)
        for x, px in enumerate(row):
            if px[3] == 0:                   # fully transparent -> mask bit set
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                       len(xor) + len(mask), 0, 0, 0, 0) + xor + bytes(mask)


def ico_bytes(images):
    """An .ico of several sizes, smallest first: directory, then the images."""
    dibs = [dib_bytes(rows) for rows in images]
    out = struct.pack("<HHH", 0, 1, len(dibs))
    offset = 6 + 16 * len(dibs)
    for rows, dib in zip(images, dibs):
        out += struct.pack("<BBBBHHII", len(rows), len(rows), 0, 0, 1, 32, len(dib), offset)
        offset += len(dib)
    return out + b"".join(dibs)


ICONS = [
    ("menu_star.ico", MENU_SIZES, lambda size: menu_star(MENU_STAR, size)),
    ("menu_star_hot.ico", MENU_SIZES, lambda size: menu_star(MENU_STAR_HOT, size)),
    ("menu_star_current.ico", MENU_SIZES, lambda size: menu_star(MENU_STAR_CURRENT, size)),
    ("menu_star_current_hot.ico", MENU_SIZES, lambda size: menu_star(MENU_STAR_CURRENT_HOT, size)),
    ("menu_dot.ico", MENU_SIZES, lambda size: menu_dot(MENU_DOT, size)),
    ("menu_dot_hot.ico", MENU_SIZES, lambda size: menu_dot(MENU_DOT_HOT, size)),
] + [("tray_%d.ico" % n, TRAY_SIZES, lambda size, n=n: tray_star(n, size)) for n in range(6)]


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    for name, sizes, draw in ICONS:
        with open(os.path.join(here, name), "wb") as f:
            f.write(ico_bytes([draw(size) for size in sizes]))
        print("wrote", name)


if __name__ == "__main__":
    main()
