#!/usr/bin/env python3
"""Draws the icons of the directory dialog's lists and writes them as .ico files.

Each icon is one 16 x 16 image in the 16 standard colours of a VGA display,
drawn below as pixel art, one character per pixel. The .ico files are
committed; run this script again after changing a picture:

    python3 seldir/icons/make_icons.py            # writes seldir/icons/*.ico
    python3 seldir/icons/make_icons.py --preview out.png   # also an 8x sheet
"""

import os
import struct
import sys
import zlib

# The 16-colour palette, in palette order, and the character that names each
# colour in the pictures. '.' is a transparent pixel.
PALETTE = [
    ("k", (0x00, 0x00, 0x00)),  # black
    ("m", (0x80, 0x00, 0x00)),  # maroon
    ("G", (0x00, 0x80, 0x00)),  # green
    ("o", (0x80, 0x80, 0x00)),  # olive
    ("n", (0x00, 0x00, 0x80)),  # navy
    ("p", (0x80, 0x00, 0x80)),  # purple
    ("t", (0x00, 0x80, 0x80)),  # teal
    ("s", (0xC0, 0xC0, 0xC0)),  # silver
    ("g", (0x80, 0x80, 0x80)),  # grey
    ("r", (0xFF, 0x00, 0x00)),  # red
    ("l", (0x00, 0xFF, 0x00)),  # lime
    ("y", (0xFF, 0xFF, 0x00)),  # yellow
    ("b", (0x00, 0x00, 0xFF)),  # blue
    ("f", (0xFF, 0x00, 0xFF)),  # fuchsia
    ("c", (0x00, 0xFF, 0xFF)),  # aqua
    ("w", (0xFF, 0xFF, 0xFF)),  # white
]
INDEX = {name: i for i, (name, _) in enumerate(PALETTE)}

FOLDER_CLOSED = """
................
................
..ooooo.........
.oyyyyyo........
owwwwwwwoooooo..
owyyyyyyyyyyyok.
owyyyyyyyyyyyok.
owyyyyyyyyyyyok.
owyyyyyyyyyyyok.
owyyyyyyyyyyyok.
owyyyyyyyyyyyok.
owyyyyyyyyyyyok.
oooooooooooooook
.kkkkkkkkkkkkkkk
................
................
"""

FOLDER_OPEN = """
................
................
.ooooo..........
owwwwwo.........
owyyyyyooooooo..
owyyyyyyyyyyyyo.
owyyyyyyyyyyyyo.
owyykkkkkkkkkkkk
owyykwwwwwwwwwyk
owykwyyyyyyyyyk.
owykwyyyyyyyyyk.
owkwyyyyyyyyyk..
owkwyyyyyyyyyk..
okwyyyyyyyyyk...
okkkkkkkkkkkk...
................
"""

CDROM = """
................
....kkkkkkk.....
..kkswwwwsskk...
.kswwcwwwsssgk..
.kswcwwkwssggk..
.ksswwwwsssggk..
..kkssssgggkk...
....kkkkkkk.....
.kkkkkkkkkkkkkk.
kwwwwwwwwwwwwwsk
kwsssssssssssgsk
kwsgkkkkkkkgssgk
kwssssssssslsgsk
kgggggggggggggsk
.kkkkkkkkkkkkkk.
................
"""

FLOPPY = """
.kkkkkkkkkkk....
.knnwwwwwwnnk...
.knnwwwwwwnnnk..
.knnwwwwwwnnnk..
.knnnnnnnnnnnk..
.knnsssskknnnk..
.knnsssskknnnk..
.kkkkkkkkkkkkk..
kkkkkkkkkkkkkkk.
kwwwwwwwwwwwwwsk
kwsssssssssssgsk
kwsggggkkkkkssgk
kwssssssssslsgsk
kgggggggggggggsk
.kkkkkkkkkkkkkk.
................
"""

FIXED = """
................
................
................
................
..kkkkkkkkkkkkk.
.kwwwwwwwwwwwwsk
kwwwwwwwwwwwwssk
kkkkkkkkkkkkkkgk
kwwwwwwwwwwwwsgk
kwssssssssssssgk
kwsgggggggslssgk
kwssssssssssssgk
kgggggggggggggk.
.kkkkkkkkkkkkk..
................
................
"""

REMOTE = """
................
..kkkkkkkkkkkkk.
.kwwwwwwwwwwwwsk
kwwwwwwwwwwwwssk
kkkkkkkkkkkkkkgk
kwwwwwwwwwwwwsgk
kwssssssssssssgk
kwsgggggggslssgk
kgggggggggggggk.
.kkkkkkkkkkkkk..
.......kk.......
.......kk.......
.......kk.......
kkkkkkkkkkkkkkkk
kggggggggggggggk
kkkkkkkkkkkkkkkk
"""

RAMDISK = """
................
................
...g.g.g.g.g.g..
...g.g.g.g.g.g..
..kkkkkkkkkkkkk.
..kgggggggggggk.
..ggkkkkkkkkkkk.
..sgkwkkkkkkkkk.
..ggkkkkkkkkkkk.
..kkkkkkkkkkkkk.
..kkkkkkkkkkkkk.
...g.g.g.g.g.g..
...g.g.g.g.g.g..
................
................
................
"""


def shaded(picture):
    """The picture with every other pixel (a checkerboard) darkened, the
    look of a selected or busy folder."""
    darker = {"w": "s", "y": "o", "s": "g", "o": "k", "g": "k"}
    rows = picture.strip("\n").split("\n")
    out = []
    for y, row in enumerate(rows):
        out.append("".join(darker.get(c, c) if (x + y) % 2 == 0 else c for x, c in enumerate(row)))
    return "\n".join(out)


ICONS = [
    ("folder-closed.ico", FOLDER_CLOSED),
    ("folder-open-shaded.ico", shaded(FOLDER_OPEN)),
    ("folder-open.ico", FOLDER_OPEN),
    ("drive-cdrom.ico", CDROM),
    ("drive-floppy.ico", FLOPPY),
    ("drive-fixed.ico", FIXED),
    ("drive-remote.ico", REMOTE),
    ("drive-ramdisk.ico", RAMDISK),
]

SIZE = 16


def rows_of(picture):
    rows = picture.strip("\n").split("\n")
    if len(rows) != SIZE or any(len(r) != SIZE for r in rows):
        raise ValueError("a picture must be 16 rows of 16 characters: %r" % rows)
    for r in rows:
        for c in r:
            if c != "." and c not in INDEX:
                raise ValueError("unknown colour %r" % c)
    return rows


def ico_bytes(picture):
    """One .ico file holding one 16 x 16, 4-bit image with its AND mask."""
    rows = rows_of(picture)
    xor_row = SIZE // 2                       # 4 bits a pixel, already a multiple of 4 bytes
    and_row = ((SIZE + 31) // 32) * 4         # 1 bit a pixel, rows padded to 4 bytes
    xor = bytearray()
    mask = bytearray()
    for row in reversed(rows):                # bitmaps are stored bottom row first
        for x in range(0, SIZE, 2):
            hi = INDEX.get(row[x], 0)
            lo = INDEX.get(row[x + 1], 0)
            xor.append(hi << 4 | lo)
        bits = 0
        for x in range(SIZE):
            bits = bits << 1 | (1 if row[x] == "." else 0)
        mask += bits.to_bytes(SIZE // 8, "big") + bytes(and_row - SIZE // 8)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for _, (r, g, b) in PALETTE)
    # BITMAPINFOHEADER: the height counts the colour image and the mask.
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, 2 * SIZE, 1, 4, 0,
                         len(xor) + len(mask), 0, 0, 16, 0)
    image = header + palette + bytes(xor) + bytes(mask)
    # ICONDIR (reserved, type 1 = icon, one image) and its ICONDIRENTRY.
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


def png_bytes(width, height, rgb_rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))
    raw = b"".join(b"\x00" + bytes(row) for row in rgb_rows)
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def preview(path, scale=8, gap=4):
    """A sheet of all icons side by side, enlarged, on a checked background."""
    width = len(ICONS) * (SIZE * scale + gap) + gap
    height = SIZE * scale + 2 * gap
    colours = dict(PALETTE)
    sheet = []
    for py in range(height):
        row = []
        for px in range(width):
            rgb = (0xE0, 0xE0, 0xE0) if (px // 8 + py // 8) % 2 else (0xF8, 0xF8, 0xF8)
            slot, off = divmod(px - gap, SIZE * scale + gap)
            y = (py - gap) // scale
            if 0 <= px - gap and off < SIZE * scale and 0 <= y < SIZE and slot < len(ICONS):
                c = rows_of(ICONS[slot][1])[y][off // scale]
                if c != ".":
                    rgb = colours[c]
            row += rgb
        sheet.append(row)
    with open(path, "wb") as f:
        f.write(png_bytes(width, height, sheet))


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    for name, picture in ICONS:
        with open(os.path.join(here, name), "wb") as f:
            f.write(ico_bytes(picture))
    if len(argv) == 3 and argv[1] == "--preview":
        preview(argv[2])
    elif len(argv) != 1:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
