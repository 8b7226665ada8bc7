#!/usr/bin/env python3
"""Writes VarnixNode.ico, the Windows resource icon of VarnixNode.exe, from the
node's built-in picture (the PNG bytes in ../BuiltInPicture.cpp), so that
Explorer, the taskbar and Alt-Tab show the same picture as the window.

Run: python3 make_icon.py   (writes VarnixNode.ico beside this script)
Sizes 16, 24, 32, 48 and 64, each a 32-bit BGRA bitmap with its AND mask, the
format every Windows version and Wine load; smaller sizes are box-filtered.
"""
import os
import re
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def picture_png():
    source = open(os.path.join(HERE, "..", "BuiltInPicture.cpp")).read()
    body = source[source.index("builtInPicture[] = {"):]
    body = body[:body.index("};")]
    return bytes(int(h, 16) for h in re.findall(r"0x([0-9a-fA-F]{2})", body))


def decode_rgb(png):
    """Pixels of an 8-bit RGB, non-interlaced PNG as rows of (r, g, b)."""
    assert png[:8] == b"\x89PNG\r\n\x1a\n"
    pos, idat = 8, b""
    while pos < len(png):
        length, kind = struct.unpack(">I4s", png[pos:pos + 8])
        data = png[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", data)
            assert depth == 8 and colour == 2 and interlace == 0
        elif kind == b"IDAT":
            idat += data
        pos += 12 + length
    raw = zlib.decompress(idat)
    stride = width * 3
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - 3] if i >= 3 else 0
            b = previous[i]
            c = previous[i - 3] if i >= 3 else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                pred = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
                line[i] = (line[i] + pred) & 255
        rows.append([tuple(line[x * 3:x * 3 + 3]) for x in range(width)])
        previous = line
    return rows


def scaled(rows, size):
    source = len(rows)
    out = []
    for y in range(size):
        y0, y1 = y * source // size, max((y + 1) * source // size, y * source // size + 1)
        line = []
        for x in range(size):
            x0, x1 = x * source // size, max((x + 1) * source // size, x * source // size + 1)
            box = [rows[j][i] for j in range(y0, y1) for i in range(x0, x1)]
            line.append(tuple(sum(p[k] for p in box) // len(box) for k in range(3)))
        out.append(line)
    return out


def icon_image(rows):
    size = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes((b, g, r, 255)) for row in reversed(rows) for (r, g, b) in row)
    mask_stride = ((size + 31) // 32) * 4
    return header + pixels + bytes(mask_stride * size)


def main():
    rows = decode_rgb(picture_png())
    images = [icon_image(scaled(rows, size)) for size in (16, 24, 32, 48, 64)]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    for image, size in zip(images, (16, 24, 32, 48, 64)):
        entries += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    with open(os.path.join(HERE, "VarnixNode.ico"), "wb") as out:
        out.write(directory + entries + b"".join(images))


if __name__ == "__main__":
    main()
