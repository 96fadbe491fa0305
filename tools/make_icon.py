#!/usr/bin/env python3
"""Draws the launcher's icon and writes it as a .ico file with 48, 32 and 16 pixel images.

  make_icon.py OUT.ico

The picture is made from a few shapes (a rounded tile, a "T" and a downward chevron),
each sampled 4 x 4 times per pixel for smooth edges, so every size is drawn for its own
grid instead of being shrunk from a larger one. Standard library only; the output is
the same bytes on every run.
"""
import os
import struct
import sys

SIZES = (48, 32, 16)
SAMPLES = 4

TILE_TOP = (52, 104, 156)      # RGB
TILE_BOTTOM = (20, 40, 78)
TILE_EDGE = (12, 24, 48)
GOLD_TOP = (255, 222, 130)
GOLD_BOTTOM = (226, 158, 44)


def rounded_rect(x, y, left, top, right, bottom, radius):
    """True when (x, y) lies inside the rectangle with rounded corners."""
    if x < left or x > right or y < top or y > bottom:
        return False
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def in_letter(x, y):
    bar = 0.20 <= x <= 0.80 and 0.18 <= y <= 0.34
    stem = 0.415 <= x <= 0.585 and 0.18 <= y <= 0.56
    return bar or stem


def segment_distance(x, y, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
    return ((x - ax - t * dx) ** 2 + (y - ay - t * dy) ** 2) ** 0.5


def in_chevron(x, y):
    # A downward "V" under the letter: the update arriving.
    reach = min(segment_distance(x, y, 0.28, 0.62, 0.50, 0.80), segment_distance(x, y, 0.50, 0.80, 0.72, 0.62))
    return reach <= 0.065


def mix(a, b, t):
    return tuple(round(a[i] + (b[i] - a[i]) * t) for i in range(3))


def sample(x, y):
    """(r, g, b, a) of one sample point, coordinates in 0..1."""
    if not rounded_rect(x, y, 0.03, 0.03, 0.97, 0.97, 0.20):
        return (0, 0, 0, 0)
    if in_letter(x, y) or in_chevron(x, y):
        return mix(GOLD_TOP, GOLD_BOTTOM, y) + (255,)
    if not rounded_rect(x, y, 0.08, 0.08, 0.92, 0.92, 0.16):
        return TILE_EDGE + (255,)
    return mix(TILE_TOP, TILE_BOTTOM, y) + (255,)


def render(size):
    """Rows top to bottom of (r, g, b, a), premultiplication undone."""
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            total = [0, 0, 0, 0]
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    r, g, b, a = sample((px + (sx + 0.5) / SAMPLES) / size, (py + (sy + 0.5) / SAMPLES) / size)
                    total[0] += r * a
                    total[1] += g * a
                    total[2] += b * a
                    total[3] += a
            if total[3] == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append(tuple(round(c / total[3]) for c in total[:3]) + (round(total[3] / SAMPLES ** 2),))
        rows.append(row)
    return rows


def dib(rows):
    """A 32-bit BGRA device-independent bitmap as icons hold it: height doubled, rows
    bottom-up, then the 1-bit AND mask (set where the image is transparent)."""
    size = len(rows)
    mask_stride = (size + 31) // 32 * 4
    pixels = bytearray()
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (r, g, b, a) in enumerate(row):
            pixels += bytes((b, g, r, a))
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(pixels) + len(mask), 0, 0, 0, 0)
    return header + bytes(pixels) + bytes(mask)


def icon_file(images):
    """ICONDIR, one ICONDIRENTRY per image, then the images."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, data in images)


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: make_icon.py OUT.ico\n")
        return 2
    data = icon_file([(size, dib(render(size))) for size in SIZES])
    with open(argv[1] + ".tmp", "wb") as f:
        f.write(data)
    os.replace(argv[1] + ".tmp", argv[1])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
