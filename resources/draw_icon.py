#!/usr/bin/env python3
"""Draws the installer's icon, zorv.ico: one 32x32 image, a white Z on blue over an orange bar.

The icon file is committed; run this script to draw it again (python3 draw_icon.py OUT.ico). It
writes one image only, because the installer carries exactly icon 1 in icon group 102.
"""
import struct
import sys

SIZE = 32
BLUE = (0x1F, 0x4E, 0x9A)
WHITE = (0xFF, 0xFF, 0xFF)
ORANGE = (0xF2, 0x8C, 0x28)


def pixel(x, y):
    """The colour at (x, y) from the top left, or None where the icon is transparent."""
    # A square with its corners cut off by a radius of five pixels.
    r = 5
    cx = min(max(x, r), SIZE - 1 - r)
    cy = min(max(y, r), SIZE - 1 - r)
    if (x - cx) ** 2 + (y - cy) ** 2 > r * r:
        return None
    if 25 <= y <= 27 and 6 <= x <= 25:
        return ORANGE
    # The Z: top and bottom strokes four pixels thick, joined by a diagonal of about the same weight.
    if 5 <= y <= 8 and 7 <= x <= 24:
        return WHITE
    if 19 <= y <= 22 and 7 <= x <= 24:
        return WHITE
    if 9 <= y <= 18:
        diagonal = 24 - (y - 9) * 12 / 9
        if diagonal - 5 <= x <= diagonal:
            return WHITE
    return BLUE


def icon_bytes():
    rows = []
    mask_rows = []
    for y in reversed(range(SIZE)):  # bitmaps run bottom-up
        row = bytearray()
        bits = 0
        for x in range(SIZE):
            c = pixel(x, y)
            if c is None:
                row += bytes((0, 0, 0, 0))
                bits |= 1 << (31 - x)
            else:
                row += bytes((c[2], c[1], c[0], 0xFF))
        rows.append(bytes(row))
        mask_rows.append(struct.pack(">I", bits))
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, 2 * SIZE, 1, 32, 0, 0, 0, 0, 0, 0)
    image = header + b"".join(rows) + b"".join(mask_rows)
    directory = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 22)
    return directory + image


if __name__ == "__main__":
    with open(sys.argv[1] if len(sys.argv) > 1 else "zorv.ico", "wb") as f:
        f.write(icon_bytes())
