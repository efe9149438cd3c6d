#!/usr/bin/env python3
"""Draws the ID3 Vimbrel menu and tray icons and writes them as .ico files.

Run:  python3 resources/make_icons.py
It rewrites every .ico beside this script; the output is byte-identical on
every run, so the committed icons can always be regenerated and compared.
Standard library only: each picture is computed from geometry, anti-aliased
by supersampling, and stored as one 32-bit BGRA image (straight alpha) with
a 1-bit AND mask.
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
# Geometry, in pixels. Coordinates run right (x) and down (y); angles are in
# degrees, clockwise from the +x axis, so -90 is straight up.
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


def menu_star(colour):
    _, _, verts = star_shape(MENU_SIZE, MENU_STAR_X, MENU_STAR_RADIUS)
    return render(MENU_SIZE, lambda x, y: colour if inside(verts, x, y) else None)


def menu_dot(colour):
    # Same column as the menu stars, so dots and stars of a row line up.
    cx, cy = MENU_STAR_X, MENU_SIZE / 2.0
    return render(MENU_SIZE, lambda x, y: colour if math.hypot(x - cx, y - cy) <= MENU_DOT_RADIUS else None)


def tray_star(stars):
    """Grey star whose first `stars` points (STAR_TIP_ANGLES order) are orange.

    Each point owns the wedge of +-36 degrees around its tip outside the
    inner pentagon; the pentagon turns orange only with all five points."""
    (cx, cy), tips, verts = star_shape(TRAY_SIZE, TRAY_STAR_X, TRAY_STAR_RADIUS)
    apothem = TRAY_STAR_RADIUS * STAR_INNER_RATIO * math.cos(math.radians(36))

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
        if edge_distance(verts, x, y) < TRAY_OUTLINE_WIDTH:
            return TRAY_OUTLINE_LIT if lit else TRAY_OUTLINE
        return TRAY_ORANGE if lit else TRAY_GREY

    return render(TRAY_SIZE, paint)


def ico_bytes(rows):
    """One-image .ico: 32-bit BGRA DIB (bottom-up, height doubled) + AND mask."""
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
    dib = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                      len(xor) + len(mask), 0, 0, 0, 0) + xor + bytes(mask)
    header = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(dib), 6 + 16)
    return header + entry + dib


ICONS = [
    ("menu_star.ico", lambda: menu_star(MENU_STAR)),
    ("menu_star_hot.ico", lambda: menu_star(MENU_STAR_HOT)),
    ("menu_star_current.ico", lambda: menu_star(MENU_STAR_CURRENT)),
    ("menu_star_current_hot.ico", lambda: menu_star(MENU_STAR_CURRENT_HOT)),
    ("menu_dot.ico", lambda: menu_dot(MENU_DOT)),
    ("menu_dot_hot.ico", lambda: menu_dot(MENU_DOT_HOT)),
] + [("tray_%d.ico" % n, lambda n=n: tray_star(n)) for n in range(6)]


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    for name, draw in ICONS:
        with open(os.path.join(here, name), "wb") as f:
            f.write(ico_bytes(draw()))
        print("wrote", name)


if __name__ == "__main__":
    main()
