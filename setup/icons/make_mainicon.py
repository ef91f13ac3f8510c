#!/usr/bin/env python3
"""Draws the setup program's main icon and writes it as an .ico file.

The picture: a blue planet with a tilted golden orbit around it and a small
red moon on the orbit. It is computed from the shapes below, 4x4 samples a
pixel, into four images: 32 x 32 and 16 x 16, each in true colour with an
alpha channel and in the 16 colours of a VGA display for old screens. The
.ico file is committed; run this script again after changing the picture:

    python3 setup/icons/make_mainicon.py                  # writes setup/icons/MainIcon.ico
    python3 setup/icons/make_mainicon.py --preview out.png  # also an 8x sheet
"""

import math
import os
import struct
import sys
import zlib

# The 16-colour palette, in palette order.
VGA = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]

# Shapes in unit coordinates: (0, 0) top left, (1, 1) bottom right.
PLANET = (0.46, 0.54, 0.27)                 # centre x, centre y, radius
ORBIT = (0.46, 0.54, 0.47, 0.15, -0.38)     # centre x, y, semi-axes a, b, tilt (radians)
ORBIT_WIDTH = 0.055
MOON_ANGLE = -2.35                          # where on the orbit the moon stands
MOON_RADIUS = 0.085


def orbit_point(t):
    cx, cy, a, b, tilt = ORBIT
    x, y = a * math.cos(t), b * math.sin(t)
    return (cx + x * math.cos(tilt) - y * math.sin(tilt),
            cy + x * math.sin(tilt) + y * math.cos(tilt))


def orbit_hit(px, py):
    """(distance to the orbit's line, whether that part is in front)."""
    cx, cy, a, b, tilt = ORBIT
    dx, dy = px - cx, py - cy
    x = dx * math.cos(-tilt) - dy * math.sin(-tilt)
    y = dx * math.sin(-tilt) + dy * math.cos(-tilt)
    # Nearest point by a coarse search on the parameter; plenty for icons.
    best, best_t = 9.0, 0.0
    for i in range(180):
        t = i * math.pi / 90
        d = math.hypot(x - a * math.cos(t), y - b * math.sin(t))
        if d < best:
            best, best_t = d, t
    return best, math.sin(best_t) > 0  # the lower half passes in front


def sample(px, py):
    """Colour (r, g, b) of one sample point, or None where it is clear."""
    mx, my = orbit_point(MOON_ANGLE)
    if math.hypot(px - mx, py - my) <= MOON_RADIUS:
        lit = max(0.0, 1.0 - math.hypot(px - mx + 0.03, py - my + 0.03) / (MOON_RADIUS * 1.6))
        return (200 + int(55 * lit), int(40 + 80 * lit), int(20 + 40 * lit))
    d, front = orbit_hit(px, py)
    ring = d <= ORBIT_WIDTH / 2
    cx, cy, r = PLANET
    on_planet = math.hypot(px - cx, py - cy) <= r
    if ring and (front or not on_planet):
        shade = 1.0 - d / ORBIT_WIDTH
        return (int(200 + 55 * shade), int(150 + 70 * shade), int(20 + 30 * shade))
    if on_planet:
        # Lit from the top left.
        lx, ly = cx - r * 0.45, cy - r * 0.45
        lit = max(0.0, 1.0 - math.hypot(px - lx, py - ly) / (r * 1.9))
        return (int(20 + 120 * lit ** 2), int(50 + 150 * lit), int(130 + 125 * lit))
    return None


def render(size, grid=4):
    """Rows of (r, g, b, a), top row first."""
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            acc, hits = [0, 0, 0], 0
            for sy in range(grid):
                for sx in range(grid):
                    c = sample((x + (sx + 0.5) / grid) / size, (y + (sy + 0.5) / grid) / size)
                    if c:
                        hits += 1
                        for i in range(3):
                            acc[i] += c[i]
            if hits:
                row.append((acc[0] // hits, acc[1] // hits, acc[2] // hits,
                            255 * hits // (grid * grid)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def nearest_vga(rgb):
    return min(range(16), key=lambda i: sum((rgb[k] - VGA[i][k]) ** 2 for k in range(3)))


def and_mask(rows, size):
    """The 1-bit transparency mask: rows bottom up, each padded to 4 bytes."""
    stride = ((size + 31) // 32) * 4
    out = b""
    for row in reversed(rows):
        bits = bytearray(stride)
        for x, px in enumerate(row):
            if px[3] < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
        out += bytes(bits)
    return out


def bitmap_header(size, bpp, colours):
    # The height counts the colour image and the mask together.
    return struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bpp, 0, 0, 0, 0, colours, 0)


def image_4bpp(rows, size):
    stride = ((size * 4 + 31) // 32) * 4
    pixels = b""
    for row in reversed(rows):
        line = bytearray(stride)
        for x, px in enumerate(row):
            index = nearest_vga(px[:3]) if px[3] >= 128 else 0
            line[x // 2] |= index << (4 if x % 2 == 0 else 0)
        pixels += bytes(line)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in VGA)
    return bitmap_header(size, 4, 16) + palette + pixels + and_mask(rows, size)


def image_32bpp(rows, size):
    pixels = b"".join(struct.pack("<BBBB", px[2], px[1], px[0], px[3])
                      for row in reversed(rows) for px in row)
    return bitmap_header(size, 32, 0) + pixels + and_mask(rows, size)


def write_ico(path, images):
    """images: list of (size, colour count or 0, bits per pixel, data)."""
    head = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries, blobs = b"", b""
    for size, colours, bpp, data in images:
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, colours, 0, 1, bpp,
                               len(data), offset)
        offset += len(data)
        blobs += data
    with open(path, "wb") as f:
        f.write(head + entries + blobs)


def write_preview(path, renders, scale=8):
    """The true-colour images side by side on grey, as a PNG."""
    width = sum(len(r) for r in renders) * scale + scale * (len(renders) + 1)
    height = max(len(r) for r in renders) * scale + 2 * scale
    canvas = [[(160, 160, 160)] * width for _ in range(height)]
    left = scale
    for rows in renders:
        for y, row in enumerate(rows):
            for x, (r, g, b, a) in enumerate(row):
                c = tuple((v * a + 160 * (255 - a)) // 255 for v in (r, g, b))
                for dy in range(scale):
                    for dx in range(scale):
                        canvas[scale + y * scale + dy][left + x * scale + dx] = c
        left += len(rows) * scale + scale
    raw = b"".join(b"\0" + bytes(v for px in line for v in px) for line in canvas)

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height,
                                                                    8, 2, 0, 0, 0)) +
                chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    big, small = render(32), render(16)
    write_ico(os.path.join(here, "MainIcon.ico"), [
        (32, 16, 4, image_4bpp(big, 32)),
        (16, 16, 4, image_4bpp(small, 16)),
        (32, 0, 32, image_32bpp(big, 32)),
        (16, 0, 32, image_32bpp(small, 16)),
    ])
    if len(sys.argv) == 3 and sys.argv[1] == "--preview":
        write_preview(sys.argv[2], [big, small])


if __name__ == "__main__":
    main()
