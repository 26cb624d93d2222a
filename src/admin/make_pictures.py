#!/usr/bin/env python3
"""Draws tovladmin's pictures: the application icon (16, 24, 32 and 48
pixels, 32-bit with alpha) and the 160 x 45 logo (24-bit).

make_pictures.py ico OUT.ico | bmp OUT.bmp | cpp OUT.cpp
The cpp form holds the same pixels as arrays for the Linux dialogs.
"""
import struct
import sys

ICON_SIZES = (16, 24, 32, 48)
LOGO_W, LOGO_H = 160, 45

# 5 x 7 letters for the logo's name.
FONT = {
    "T": ["11111", "00100", "00100", "00100", "00100", "00100", "00100"],
    "O": ["01110", "10001", "10001", "10001", "10001", "10001", "01110"],
    "V": ["10001", "10001", "10001", "10001", "10001", "01010", "00100"],
    "L": ["10000", "10000", "10000", "10000", "10000", "10000", "11111"],
}


def connector_cover(u, v):
    """1 inside a nine-pin D connector drawn in the unit square, else 0;
    2 on a pin."""
    top, bottom = 0.30, 0.72
    if not top <= v <= bottom:
        return 0
    t = (v - top) / (bottom - top)
    half = 0.40 - 0.08 * t  # the shell narrows towards the bottom
    if abs(u - 0.5) > half:
        return 0
    for row, count, y in ((0, 5, 0.43), (1, 4, 0.60)):
        for i in range(count):
            x = 0.5 + (i - (count - 1) / 2) * 0.13
            if (u - x) ** 2 + (v - y) ** 2 < 0.035 ** 2:
                return 2
    return 1


def icon_pixel(size, px, py):
    """RGBA of one icon pixel, 4 x 4 supersampled."""
    acc = [0.0, 0.0, 0.0, 0.0]
    for sy in range(4):
        for sx in range(4):
            u = (px + (sx + 0.5) / 4) / size
            v = (py + (sy + 0.5) / 4) / size
            # a rounded blue tile
            cx, cy = min(max(u, 0.18), 0.82), min(max(v, 0.18), 0.82)
            if (u - cx) ** 2 + (v - cy) ** 2 > 0.16 ** 2 + 1e-9:
                continue
            shade = 1.0 - 0.35 * v
            color = (int(30 * shade), int(90 * shade), int(200 * shade))
            c = connector_cover(u, v)
            if c == 1:
                color = (235, 235, 240)
            elif c == 2:
                color = (200, 150, 30)
            acc[0] += color[0]
            acc[1] += color[1]
            acc[2] += color[2]
            acc[3] += 1
    if acc[3] == 0:
        return (0, 0, 0, 0)
    n = acc[3]
    return (round(acc[0] / n), round(acc[1] / n), round(acc[2] / n), round(255 * n / 16))


def icon_rgba(size):
    return [[icon_pixel(size, x, y) for x in range(size)] for y in range(size)]


def logo_rgb():
    rows = []
    for y in range(LOGO_H):
        row = []
        for x in range(LOGO_W):
            t = x / (LOGO_W - 1)
            row.append((int(20 + 10 * t), int(60 + 90 * t), int(150 + 40 * t)))
        rows.append(row)
    # the name, each font dot a 4 x 4 block
    for i, ch in enumerate("TOVL"):
        for fy, line in enumerate(FONT[ch]):
            for fx, bit in enumerate(line):
                if bit == "1":
                    for dy in range(4):
                        for dx in range(4):
                            rows[8 + fy * 4 + dy][8 + i * 24 + fx * 4 + dx] = (250, 250, 250)
    # a connector at the right
    for y in range(LOGO_H):
        for x in range(108, 153):
            c = connector_cover((x - 108) / 45, y / 45)
            if c:
                rows[y][x] = (235, 235, 240) if c == 1 else (200, 150, 30)
    return rows


def dib_rows_bgr(rows):
    """Bottom-up 24-bit rows, each padded to four bytes."""
    out = b""
    for row in reversed(rows):
        line = b"".join(bytes((b, g, r)) for (r, g, b) in row)
        out += line + b"\0" * (-len(line) % 4)
    return out


def make_bmp():
    pixels = dib_rows_bgr(logo_rgb())
    info = struct.pack("<IiiHHIIiiII", 40, LOGO_W, LOGO_H, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    return header + info + pixels


def icon_image(size):
    rgba = icon_rgba(size)
    xor = b"".join(bytes((b, g, r, a)) for row in reversed(rgba) for (r, g, b, a) in row)
    mask_stride = ((size + 31) // 32) * 4
    mask = b""
    for row in reversed(rgba):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(bits)
    info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    return info + xor + mask


def make_ico():
    images = [icon_image(s) for s in ICON_SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip(ICON_SIZES, images):
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    return out + b"".join(images)


def c_array(name, data):
    body = ",".join(str(b) for b in data)
    return "extern const unsigned char %s[%d] = {%s};\n" % (name, len(data), body)


def make_cpp():
    logo = bytes(c for row in logo_rgb() for px in row for c in px)
    icon = bytes(c for row in icon_rgba(48) for px in row for c in px)
    return ("// Generated by make_pictures.py: tovladmin's logo (RGB) and icon (RGBA).\n"
            "#include \"admin/posix/pictures_posix.h\"\n\nnamespace tovl {\n"
            + c_array("kLogoRgb", logo) + c_array("kIconRgba48", icon) + "}  // namespace tovl\n")


def main():
    kind, path = sys.argv[1], sys.argv[2]
    data = {"ico": make_ico, "bmp": make_bmp, "cpp": lambda: make_cpp().encode()}[kind]()
    with open(path, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main()
