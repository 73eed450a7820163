#!/usr/bin/env python3
"""Checks the stored embedded pictures in a folder (default: assets/).

Each icon file must parse: reserved 0, type 1, the expected image count,
directory entries that fit the file, 40-byte bitmap headers of the listed
size (height field twice the picture's), 32 bits for the first image and
8 bits with a 256-entry palette for a second one, and exactly the bytes that
colour rows plus mask rows need. Each PNG must be 8-bit RGBA of the listed
size with a valid CRC on every chunk. Prints one line per file and exits
non-zero on the first fault it reports.
"""

import os
import struct
import sys
import zlib

# file: (images in the icon file or 0 for PNG, width, height)
PICTURES = {
    "banner.ico": (1, 410, 70),
    "send.ico": (1, 58, 58),
    "options.ico": (1, 59, 59),
    "globe_off.ico": (1, 16, 18),
    "globe_on.ico": (1, 16, 18),
    "options_plate.ico": (2, 211, 65),
    "sending.png": (0, 219, 25),
    "help.png": (0, 24, 24),
    "folder.ico": (1, 49, 60),
    "chat.ico": (2, 64, 60),
    "wait.ico": (1, 164, 47),
    "receiving.png": (0, 219, 25),
}


def check_ico(data, count, width, height):
    if len(data) < 6:
        return "shorter than an icon directory"
    reserved, kind, n = struct.unpack("<HHH", data[:6])
    if reserved != 0 or kind != 1:
        return f"reserved {reserved}, type {kind}: not an icon file"
    if n != count:
        return f"{n} images, expected {count}"
    if len(data) < 6 + 16 * n:
        return "directory runs past the end"
    for i in range(n):
        w, h, _, _, planes, bits, size, offset = struct.unpack(
            "<BBBBHHII", data[6 + 16 * i:22 + 16 * i])
        if (w, h) != (width if width < 256 else 0, height if height < 256 else 0):
            return f"entry {i}: directory size {w} x {h}"
        if offset + size > len(data):
            return f"entry {i}: image data runs past the end"
        dib = data[offset:offset + size]
        if len(dib) < 40:
            return f"entry {i}: bitmap header truncated"
        hsize, bw, bh, bplanes, bbits = struct.unpack("<IiiHH", dib[:16])
        used = struct.unpack("<I", dib[32:36])[0]
        want_bits = 32 if i == 0 else 8
        if hsize != 40:
            return f"entry {i}: bitmap header size {hsize}"
        if (bw, bh) != (width, 2 * height):
            return f"entry {i}: bitmap {bw} x {bh}, expected {width} x {2 * height}"
        if bplanes != 1 or bbits != want_bits or bits != want_bits:
            return f"entry {i}: {bbits} bits (directory {bits}), expected {want_bits}"
        palette = 0 if bbits == 32 else 4 * (used or 256)
        colour = ((width * bbits + 31) // 32) * 4 * height
        mask = ((width + 31) // 32) * 4 * height
        if len(dib) != 40 + palette + colour + mask:
            return f"entry {i}: {len(dib)} bytes, expected {40 + palette + colour + mask}"
        if i == 0 and not any(dib[40 + 3:40 + colour:4]):
            return "entry 0: every pixel fully transparent"
    return None


def check_png(data, width, height):
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        return "no PNG signature"
    pos, first = 8, True
    while pos + 12 <= len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        crc = data[pos + 8 + length:pos + 12 + length]
        if len(body) != length or len(crc) != 4:
            return f"chunk {kind!r} truncated"
        if struct.unpack(">I", crc)[0] != zlib.crc32(kind + body) & 0xFFFFFFFF:
            return f"chunk {kind!r} has a bad CRC"
        if first:
            if kind != b"IHDR":
                return "first chunk is not IHDR"
            w, h, depth, colour = struct.unpack(">IIBB", body[:10])
            if (w, h) != (width, height):
                return f"{w} x {h}, expected {width} x {height}"
            if depth != 8 or colour != 6:
                return f"bit depth {depth}, colour type {colour}: not 8-bit RGBA"
            first = False
        if kind == b"IEND":
            return None
        pos += 12 + length
    return "no IEND chunk"


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "assets")
    faults = 0
    for name, (count, width, height) in PICTURES.items():
        path = os.path.join(folder, name)
        if not os.path.exists(path):
            fault = "missing"
        else:
            data = open(path, "rb").read()
            fault = (check_png(data, width, height) if count == 0
                     else check_ico(data, count, width, height))
        print(f"{name}: {fault or 'ok'}")
        faults += fault is not None
    sys.exit(1 if faults else 0)


if __name__ == "__main__":
    main()
