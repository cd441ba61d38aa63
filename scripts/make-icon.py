#!/usr/bin/env python3
"""Draws the program's icon from the pixel grids below and writes every file under dist/icons/.

The window embeds the 16 and 32 px PNGs; the desktop's icon theme gets every size in
THEME_SIZES, the larger ones drawn from the 32 px grid with square pixels.

    python3 scripts/make-icon.py                     # writes dist/icons/*
    python3 scripts/make-icon.py --preview /tmp/p.png  # also an 8x enlargement of both sizes

Standard library only, so the icon can be remade on any machine with Python 3.
"""

import argparse
import pathlib
import struct
import sys
import zlib

# One character per pixel. '.' must stay first: in the .ico its index is the one the
# AND mask hides, and the 4-bit XOR image has to hold black there.
PALETTE = {
    ".": None,  # transparent
    "K": "#000000",
    "W": "#FFFFFF",
    "N": "#000080",  # the window's list text
    "P": "#FF8080",  # the window's background
    "Y": "#FFFF80",  # the window's lists
    "O": "#E0C060",  # back of the folder, a shade darker than the front
    "L": "#C0C0C0",
    "C": "#A0D0FF",
    "B": "#2060E0",
}

# The folder with the generated page rising out of it: black page, white title, rule,
# a link line and a picture; a globe in the corner says "web".
ICON_32 = [
    "................................",
    ".........NNNNNNNNNNNNNN.........",
    ".........NKKKKKKKKKKKNWN........",
    "..NNNNN..NKKWWWWWWWKKNWWN.......",
    ".NOOOOON.NKKKKKKKKKKKNNNN.......",
    ".NOOOOOONNKLLLLLLLLLLLLKNNNN....",
    ".NOOOOOOONKKKKKKKKKKKKKKNOON....",
    ".NOOOOOOONKCCCCCKWWWWKKKNOON....",
    ".NOOOOOOONKKKKKKKKKKKKKKNOON....",
    ".NOOOOOOONKKKKPPPPPPKKKKNOON....",
    ".NOOOOOOONKKKKPPPPYPKKKKNOON....",
    ".NOOOOOOONKKKKPNPPPPKKKKNOON....",
    ".NOOOOOOONKKKKNNNPNNKKKKNOON....",
    ".NOOOOOOONKKKKKKKKKKKKKKNOON....",
    ".NOOOOOOONKCCCCCKWWWWKKKNOON....",
    ".NNNNNNNNNNNNNNNNNNNNNNNNNNN....",
    ".NWWWWWWWWWWWWWWWWWWWWWWWWWN....",
    ".NYYYYYYYYYYYYYYYYYYYYYYYYYN....",
    ".NYYYYYYYYYYYYYYYYYYYYYYYYYN....",
    ".NYYYYYYYYYYYYYYYYYYYYYYYYYN....",
    ".NYYYYYYYYYYYYYYYYYYYYYNNNNN....",
    ".NYYYYYYYYYYYYYYYYYYYNNBCCCBNN..",
    ".NYYYYYYYYYYYYYYYYYYYNBCBCBCBN..",
    ".NYYYYYYYYYYYYYYYYYYNCCCCCCCCCN.",
    ".NYYYYYYYYYYYYYYYYYYNBCBBCBBCBN.",
    ".NYYYYYYYYYYYYYYYYYYNBCBBCBBCBN.",
    ".NYYYYYYYYYYYYYYYYYYNBCBBCBBCBN.",
    ".NYYYYYYYYYYYYYYYYYYNCCCCCCCCCN.",
    ".NOOOOOOOOOOOOOOOOOOONBCBCBCBN..",
    "..NNNNNNNNNNNNNNNNNNNNNBCCCBNN..",
    ".......................NNNNN....",
    "................................",
]

# Too small for the globe and the picture: at 16 px they turn to mush, two link lines read better.
ICON_16 = [
    "....NNNNNNN.....",
    ".NN.NKKKKKWN....",
    "NOONNKWWWKNNN...",
    "NOOONKKKKKKKN...",
    "NOOONLLLLLLLNNN.",
    "NOOONKKKKKKKNON.",
    "NOOONCCCKWWKNON.",
    "NOOONKKKKKKKNON.",
    "NOOONCCCKWWKNON.",
    "NNNNNNNNNNNNNNN.",
    "NWWWWWWWWWWWWWN.",
    "NYYYYYYYYYYYYYN.",
    "NYYYYYYYYYYYYYN.",
    "NYYYYYYYYYYYYYN.",
    "NOOOOOOOOOOOOON.",
    ".NNNNNNNNNNNNN..",
]

# Sizes installed in the hicolor theme. 16 is its own drawing; the rest come from the 32 px grid.
THEME_SIZES = (16, 32, 48, 64, 128, 256)

KEYS = list(PALETTE)
INDEX = {key: i for i, key in enumerate(KEYS)}


def rgb(key):
    colour = PALETTE[key]
    if colour is None:
        return (0, 0, 0)
    return tuple(int(colour[i:i + 2], 16) for i in (1, 3, 5))


def check(grid, size):
    if len(grid) != size or any(len(row) != size for row in grid):
        sys.exit(f"make-icon: the {size} px grid is not {size} x {size}")
    unknown = {c for row in grid for c in row} - set(PALETTE)
    if unknown:
        sys.exit(f"make-icon: colours missing from the palette: {''.join(sorted(unknown))}")


def resample(grid, size):
    """Nearest-neighbour scaling: whole multiples stay crisp; 48 px repeats every other pixel."""
    source = len(grid)
    return ["".join(grid[y * source // size][x * source // size] for x in range(size))
            for y in range(size)]


def theme_grid(size):
    return ICON_16 if size == 16 else resample(ICON_32, size)


def xpm(grid, name):
    used = [k for k in KEYS if any(k in row for row in grid)]
    lines = [
        "/* XPM */",
        f"static const char *const {name}[] = {{",
        f'"{len(grid[0])} {len(grid)} {len(used)} 1",',
    ]
    for key in used:
        lines.append(f'"{key} c {"None" if PALETTE[key] is None else PALETTE[key]}",')
    lines += [f'"{row}",' for row in grid[:-1]] + [f'"{grid[-1]}"', "};", ""]
    return "\n".join(lines).encode("ascii")


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def png(grid, scale=1, backdrop=None):
    """An indexed PNG, 4 bits a pixel; with backdrop the transparent colour is painted instead."""
    palette = b"".join(bytes(rgb(k)) for k in KEYS)
    if backdrop:
        palette = bytes(int(backdrop[i:i + 2], 16) for i in (1, 3, 5)) + palette[3:]
    raw = bytearray()
    for row in grid:
        indices = [INDEX[c] for c in row for _ in range(scale)]
        if len(indices) % 2:
            indices.append(0)
        line = bytes(indices[i] << 4 | indices[i + 1] for i in range(0, len(indices), 2))
        for _ in range(scale):
            raw += b"\0" + line
    width, height = len(grid[0]) * scale, len(grid) * scale
    out = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 4, 3, 0, 0, 0))
    out += chunk(b"PLTE", palette)
    if not backdrop:
        out += chunk(b"tRNS", bytes([0]))  # only index 0 is see-through; the rest default to opaque
    return out + chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b"")


def dib(grid):
    """A 16-colour icon image: 4-bit colour bitmap plus 1-bit AND mask, both bottom-up."""
    size = len(grid)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    colours = [rgb(k) for k in KEYS] + [(0, 0, 0)] * (16 - len(KEYS))
    table = b"".join(bytes((b, g, r, 0)) for r, g, b in colours)
    xor = bytearray()
    mask = bytearray()
    for row in reversed(grid):
        indices = [INDEX[c] for c in row]
        line = bytes(indices[i] << 4 | indices[i + 1] for i in range(0, size, 2))
        xor += line + b"\0" * (-len(line) % 4)
        bits = bytearray((size + 7) // 8)
        for x, c in enumerate(row):
            if PALETTE[c] is None:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits + b"\0" * (-len(bits) % 4)
    return header + table + bytes(xor) + bytes(mask)


def ico(grids):
    images = [dib(g) for g in grids]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for grid, image in zip(grids, images):
        size = len(grid)
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 16, 0, 1, 4, len(image), offset)
        offset += len(image)
    return out + b"".join(images)


def preview(grids, scale=8, gap=2):
    """Both sizes side by side, enlarged, on a checkerboard so transparency shows."""
    height = max(len(g) for g in grids)
    width = sum(len(g) for g in grids) + gap * (len(grids) + 1)
    sheet = []
    for y in range(height + 2 * gap):
        sheet.append(["." for _ in range(width)])
    x0 = gap
    for g in grids:
        for y, row in enumerate(g):
            for x, c in enumerate(row):
                sheet[gap + y][x0 + x] = c
        x0 += len(g) + gap
    rows = ["".join(r) for r in sheet]
    # a checker of L and W behind transparent pixels, one cell per source pixel
    rows = ["".join(("L" if (x + y) % 2 else "W") if c == "." else c for x, c in enumerate(r))
            for y, r in enumerate(rows)]
    return png(rows, scale)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--preview", metavar="PNG", help="also write an 8x enlargement of both sizes here")
    args = parser.parse_args()

    check(ICON_32, 32)
    check(ICON_16, 16)
    if len(PALETTE) > 16:
        sys.exit("make-icon: more than 16 colours")

    out = pathlib.Path(__file__).resolve().parent.parent / "dist" / "icons"
    out.mkdir(parents=True, exist_ok=True)
    files = {
        "folimbra.xpm": xpm(ICON_32, "folimbra_xpm"),
        "folimbra-16.xpm": xpm(ICON_16, "folimbra_16_xpm"),
        "folimbra-32.png": png(ICON_32),
        "folimbra-16.png": png(ICON_16),
        "folimbra.ico": ico([ICON_32, ICON_16]),
    }
    for size in THEME_SIZES:
        files[f"folimbra-{size}.png"] = png(theme_grid(size))
    for name, data in files.items():
        (out / name).write_bytes(data)
        print(out / name)
    if args.preview:
        pathlib.Path(args.preview).write_bytes(preview([ICON_32, ICON_16]))
        print(args.preview)


if __name__ == "__main__":
    main()
