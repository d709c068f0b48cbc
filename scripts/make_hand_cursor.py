#!/usr/bin/env python3
"""Writes HAND-M.CUR: a 32 x 32 hand pointer in the Windows cursor format.

The picture is drawn below as text ('X' outline, '.' white, blank
transparent); the hot spot is the tip of the index finger. Run it again after
changing the drawing and commit the file it writes.

    scripts/make_hand_cursor.py src/app/resources/HAND-M.CUR
"""
import struct
import sys

HAND = [
    "      XX          ",
    "     X..X         ",
    "     X..X         ",
    "     X..X         ",
    "     X..X         ",
    "     X..XXX       ",
    "     X..X..XXX    ",
    "     X..X..X..XX  ",
    "     X..X..X..X.X ",
    " XXX X..X..X..X..X",
    " X..XX........X..X",
    " X...X...........X",
    "  X..X...........X",
    "   X.............X",
    "   X.............X",
    "    X............X",
    "    X...........X ",
    "     X..........X ",
    "     X.........X  ",
    "      X........X  ",
    "      X........X  ",
    "      XXXXXXXXXX  ",
]
HOT_SPOT = (6, 0)
SIZE = 32


def pixel(x, y):
    """(blue, green, red, alpha) and the AND-mask bit of one pixel."""
    ch = HAND[y][x] if y < len(HAND) and x < len(HAND[y]) else " "
    if ch == "X":
        return (0, 0, 0, 255), 0
    if ch == ".":
        return (255, 255, 255, 255), 0
    return (0, 0, 0, 0), 1


def cursor_bytes():
    colour = bytearray()
    mask = bytearray()
    for y in reversed(range(SIZE)):  # a DIB is stored bottom row first
        bits = 0
        for x in range(SIZE):
            bgra, transparent = pixel(x, y)
            colour += bytes(bgra)
            bits = (bits << 1) | transparent
        mask += struct.pack(">I", bits)  # 32 pixels: one padded row
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, 2 * SIZE, 1, 32, 0,
                         len(colour) + len(mask), 0, 0, 0, 0)
    image = header + colour + mask
    directory = struct.pack("<HHH", 0, 2, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, HOT_SPOT[0], HOT_SPOT[1],
                        len(image), 6 + 16)
    return directory + entry + image


if __name__ == "__main__":
    with open(sys.argv[1], "wb") as out:
        out.write(cursor_bytes())
