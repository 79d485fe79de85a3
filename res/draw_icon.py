#!/usr/bin/env python3
"""Draws the tray icon and packs it into res/vestrel-tray.ico.

Every size is drawn from geometry, not scaled from a large picture: scaling a 256 px drawing
down to 16 px blurs the outline and the mark into mush, so the small sizes get their own
pixel-aligned measurements. Every image is stored as a 32-bit RGBA PNG inside the .ico.

Only the standard library is used so the icon can be redrawn on any machine with Python 3.

    python3 res/draw_icon.py                      # rewrites res/vestrel-tray.ico
    python3 res/draw_icon.py --png-dir /tmp/icon  # also writes icon-16.png ... icon-256.png
"""

import argparse
import math
import os
import struct
import zlib

# The small-icon sizes of the notification area at 100 % to 250 % display scale (16, 20, 24, 28,
# 32, 36, 40), then the larger ones that Windows picks for other places.
SIZES = (16, 20, 24, 28, 32, 36, 40, 48, 64, 128, 256)

# A warm kestrel-plumage badge with a pale wing chevron. The dark rim keeps the badge apart from
# a light taskbar; the bright fill keeps it apart from a dark one.
RIM = (0.20, 0.09, 0.04, 1.0)
FILL_TOP = (1.00, 0.62, 0.22, 1.0)
FILL_BOTTOM = (0.86, 0.31, 0.09, 1.0)
MARK = (1.0, 0.98, 0.95, 1.0)
MARK_SHADE = (1.0, 0.86, 0.70, 1.0)
MARK_SHADOW = (0.35, 0.10, 0.0, 0.45)


def geometry(size):
    """Measurements in pixels for one size.

    The sizes up to 28 px are set by hand on whole pixels: at 16 px a half-covered pixel on the
    rim or along a wing tip reads as a smudge, so there the tips are cut flat. Below 48 px both
    wings take the palest tone, for the most contrast against the badge.
    """
    if size == 16:
        return dict(box=(0, 0, 16, 16), radius=4.0, rim=1, shadow=0, shade=False,
                    mark=dict(top=3, bottom=13, half_span=6, arm=3.0, sweep=0, foot=1.5))
    if size == 20:
        return dict(box=(0, 0, 20, 20), radius=5.0, rim=1, shadow=0, shade=False,
                    mark=dict(top=4, bottom=16, half_span=7, arm=3.8, sweep=1, foot=1.75))
    if size == 24:
        return dict(box=(0, 0, 24, 24), radius=5.5, rim=1, shadow=0, shade=False,
                    mark=dict(top=5, bottom=19, half_span=8.5, arm=4.6, sweep=1, foot=2.0))
    if size == 28:
        return dict(box=(0, 0, 28, 28), radius=6.5, rim=1, shadow=0, shade=False,
                    mark=dict(top=6, bottom=22, half_span=10, arm=5.4, sweep=1, foot=2.25))
    s = size / 64.0
    margin = max(1, round(s))
    # Whole-pixel rims: a 1.5 px rim is a dark line plus a muddy one.
    return dict(box=(margin, margin, size - margin, size - margin), radius=14 * s,
                rim=1 if size < 48 else max(2, round(1.5 * s)),
                shadow=1.6 * s if size >= 48 else 0, shade=size >= 48,
                mark=dict(top=15 * s, bottom=50 * s, half_span=22 * s, arm=12 * s, sweep=4 * s,
                          foot=5 * s))


def rounded_rect(x0, y0, x1, y1, r):
    def spans(y):
        if y < y0 or y >= y1:
            return []
        dy = max(y0 + r - y, y - (y1 - r), 0.0)
        inset = r - math.sqrt(max(r * r - dy * dy, 0.0))
        return [(x0 + inset, x1 - inset)]

    return spans


def polygon(points):
    edges = [(points[i], points[(i + 1) % len(points)]) for i in range(len(points))]

    def spans(y):
        xs = []
        for (ax, ay), (bx, by) in edges:
            if (ay <= y < by) or (by <= y < ay):
                xs.append(ax + (y - ay) * (bx - ax) / (by - ay))
        xs.sort()
        return list(zip(xs[0::2], xs[1::2]))

    return spans


def chevron(top, bottom, half_span, arm, sweep, foot, dy=0.0):
    """Outline of a V whose arm tips are cut on a slant like swept wing tips, with a flat foot.

    arm is the horizontal width of an arm at its tip; foot is half the width of the flat base.
    Returns the right half's corners from the notch round to the foot, x measured from the
    centre line; the left half is its mirror image.
    """
    top += dy
    bottom += dy
    run = (half_span - foot) / (bottom - top)  # horizontal step of the outer edge per pixel down
    inner_x = half_span - arm
    inner_top = top + sweep
    # The inner edges run parallel to the outer ones and meet on the centre line.
    notch = inner_top + inner_x / run
    return [(0.0, notch), (inner_x, inner_top), (half_span, top), (foot, bottom), (0.0, bottom)]


def whole(cx, half):
    return polygon([(cx + x, y) for x, y in half] + [(cx - x, y) for x, y in reversed(half)])


def right(cx, half):
    return polygon([(cx + x, y) for x, y in half])


def coverage(size, spans_at):
    """Fraction of each pixel inside a shape: exact across a row, sampled down it."""
    rows = 16 if size <= 64 else 8
    step = 1.0 / rows
    cov = [0.0] * (size * size)
    for py in range(size):
        base = py * size
        for k in range(rows):
            for x0, x1 in spans_at(py + (k + 0.5) * step):
                x0, x1 = max(x0, 0.0), min(x1, float(size))
                if x1 <= x0:
                    continue
                i0, i1 = int(x0), int(x1)
                if i0 == i1:
                    cov[base + i0] += (x1 - x0) * step
                    continue
                cov[base + i0] += (i0 + 1 - x0) * step
                for i in range(i0 + 1, i1):
                    cov[base + i] += step
                if i1 < size:
                    cov[base + i1] += (x1 - i1) * step
    return [min(c, 1.0) for c in cov]


class Canvas:
    def __init__(self, size):
        self.size = size
        self.px = [[0.0, 0.0, 0.0, 0.0] for _ in range(size * size)]  # premultiplied

    def paint(self, cov, colour):
        """Source-over; colour is an RGBA tuple or a function of the pixel's row."""
        for i, c in enumerate(cov):
            if c <= 0.0:
                continue
            r, g, b, a = colour(i // self.size) if callable(colour) else colour
            a *= c
            p = self.px[i]
            keep = 1.0 - a
            p[0] = r * a + p[0] * keep
            p[1] = g * a + p[1] * keep
            p[2] = b * a + p[2] * keep
            p[3] = a + p[3] * keep

    def rgba(self):
        out = bytearray()
        for r, g, b, a in self.px:
            if a <= 0.0:
                out += b"\0\0\0\0"
                continue
            out += bytes(min(255, round(v / a * 255)) for v in (r, g, b))
            out.append(min(255, round(a * 255)))
        return bytes(out)


def mix(c0, c1, t):
    return tuple(a + (b - a) * t for a, b in zip(c0, c1))


def draw(size):
    g = geometry(size)
    x0, y0, x1, y1 = g["box"]
    rim, r = g["rim"], g["radius"]
    canvas = Canvas(size)
    canvas.paint(coverage(size, rounded_rect(x0, y0, x1, y1, r)), RIM)

    def fill(row):
        return mix(FILL_TOP, FILL_BOTTOM, min(max((row + 0.5 - y0) / (y1 - y0), 0.0), 1.0))

    canvas.paint(
        coverage(size, rounded_rect(x0 + rim, y0 + rim, x1 - rim, y1 - rim, max(r - rim, 0.0))),
        fill)
    cx = size / 2.0
    if g["shadow"]:
        canvas.paint(coverage(size, whole(cx, chevron(**g["mark"], dy=g["shadow"]))), MARK_SHADOW)
    half = chevron(**g["mark"])
    canvas.paint(coverage(size, whole(cx, half)), MARK)
    if g["shade"]:
        # The far wing in a deeper tone, as if turned away from the light: the mark reads as a
        # bird folding its wings rather than as a letter.
        canvas.paint(coverage(size, right(cx, half)), MARK_SHADE)
    return canvas.rgba()


def png(size, rgba):
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    stride = size * 4
    raw = b"".join(b"\0" + rgba[y * stride:(y + 1) * stride] for y in range(size))
    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def ico(images):
    """images: (size, png bytes) pairs. A 256 px entry is written as 0 in the directory."""
    head = struct.pack("<HHH", 0, 1, len(images))
    offset = len(head) + 16 * len(images)
    entries, blobs = b"", b""
    for size, data in images:
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data),
                               offset + len(blobs))
        blobs += data
    return head + entries + blobs


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=os.path.join(here, "vestrel-tray.ico"))
    parser.add_argument("--png-dir", help="also write each size as icon-N.png here")
    args = parser.parse_args()

    images = [(size, png(size, draw(size))) for size in SIZES]
    with open(args.out, "wb") as f:
        f.write(ico(images))
    if args.png_dir:
        os.makedirs(args.png_dir, exist_ok=True)
        for size, data in images:
            with open(os.path.join(args.png_dir, "icon-%d.png" % size), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
