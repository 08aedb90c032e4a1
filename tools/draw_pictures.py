#!/usr/bin/env python3
"""Draws the window icon and the two lamp pictures as XPM text into resources/.

The XPM files are committed; run this again only to change a picture.
"""
import math
import os

OUT = os.path.join(os.path.dirname(__file__), "..", "resources")
OLIVE = "#CACA91"


def write_xpm(name, rows, palette):
    keys = {}
    for (sym, colour) in palette:
        keys[sym] = colour
    h = len(rows)
    w = len(rows[0])
    lines = [f'"{w} {h} {len(palette)} 1",']
    lines += [f'"{s} c {c}",' for (s, c) in palette]
    lines += [f'"{r}",' for r in rows]
    lines[-1] = lines[-1].rstrip(",")
    var = name.replace(".", "_").replace("-", "_")
    text = "/* XPM */\nstatic const char *" + var.split("_xpm")[0] + "[] = {\n" + "\n".join(lines) + "\n};\n"
    with open(os.path.join(OUT, name), "w") as f:
        f.write(text)


def lamp(lit):
    w, h = 30, 28
    cx, cy, r = 14.5, 13.5, 12.5
    rows = []
    for y in range(h):
        row = ""
        for x in range(w):
            d = math.hypot(x - cx, y - cy)
            if d > r + 0.5:
                row += "."
            elif d > r - 1.5:
                row += "r"          # rim
            elif lit and d < r * 0.35:
                row += "c"          # bright centre
            elif lit and d < r * 0.75:
                row += "m"          # red body
            elif lit:
                row += "g"          # paler glow towards the rim
            else:
                row += "k" if d < r * 0.8 else "d"
        rows.append(row)
    if lit:
        palette = [(".", OLIVE), ("r", "#FFB0A0"), ("c", "#FF3020"), ("m", "#E00000"), ("g", "#F06060")]
    else:
        palette = [(".", OLIVE), ("r", "#E0E0E0"), ("k", "#000000"), ("d", "#202020")]
    return rows, palette


def dsub(size):
    s = size / 32.0
    rows = [["." for _ in range(size)] for _ in range(size)]

    def inside(x, y, grow=0.0):
        # Trapezoid: wider at the top, as the connector face is.
        top, bottom = 8 * s - grow, 24 * s + grow
        if y < top or y > bottom:
            return False
        t = (y - 8 * s) / (16 * s)
        half = (14.5 - 2.5 * t) * s + grow
        return abs(x - 15.5 * s) <= half

    for y in range(size):
        for x in range(size):
            px, py = x + 0.5, y + 0.5
            if inside(px, py, -1.0 * max(1, s)):
                rows[y][x] = "g"
            elif inside(px, py):
                rows[y][x] = "w"
    pin = max(1, round(2 * s))
    for i in range(5):
        x0 = round((6 + i * 5) * s)
        y0 = round(11 * s)
        for dy in range(pin):
            for dx in range(pin):
                rows[y0 + dy][x0 + dx] = "y"
    for i in range(4):
        x0 = round((8.5 + i * 5) * s)
        y0 = round(18 * s)
        for dy in range(pin):
            for dx in range(pin):
                rows[y0 + dy][x0 + dx] = "y"
    palette = [(".", "None"), ("g", "#808080"), ("w", "#FFFFFF"), ("y", "#FFFF00")]
    return ["".join(r) for r in rows], palette


if __name__ == "__main__":
    write_xpm("lamp_on.xpm", *lamp(True))
    write_xpm("lamp_off.xpm", *lamp(False))
    write_xpm("icon_32.xpm", *dsub(32))
    write_xpm("icon_16.xpm", *dsub(16))
    write_xpm("icon_48.xpm", *dsub(48))
