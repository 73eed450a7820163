#!/usr/bin/env python3
"""Packs a rendered RGBA PNG into the stored form of an embedded picture.

  make_ico.py ico  IN.png OUT.ico   icon file, one 32-bit image with alpha
  make_ico.py ico2 IN.png OUT.ico   icon file, the 32-bit image, then an 8-bit
                                    palette image of the same size
  make_ico.py png  IN.png OUT.png   plain 8-bit RGBA PNG, no extra chunks

Icon images are device-independent bitmaps with a 40-byte header whose height
is twice the picture's (colour rows plus mask rows), rows bottom-up, followed
by the 1-bit AND mask (1 = transparent) with rows padded to 32 bits. The
directory holds one byte per side, 0 for 256 and more; readers then take the
size from the bitmap header. Python standard library only, so the pictures
can be repacked anywhere.
"""

import struct
import sys
import zlib

MASK_ALPHA = 128  # below this a pixel counts as transparent in the AND mask


def png_read(path):
    """Returns (width, height, rows) with rows a list of bytes, 4 per pixel, RGBA."""
    data = open(path, "rb").read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        sys.exit(f"{path}: not a PNG file")
    pos, idat, header = 8, b"", None
    while pos + 8 <= len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        elif kind == b"IEND":
            break
        pos += 12 + length
    if header is None:
        sys.exit(f"{path}: no header")
    width, height, depth, colour, _, _, interlace = header
    channels = {6: 4, 2: 3}.get(colour)
    if depth != 8 or channels is None or interlace:
        sys.exit(f"{path}: only 8-bit RGB or RGBA without interlace is read")
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, prev, pos = [], bytearray(stride), 0
    for _ in range(height):
        kind = raw[pos]
        line = bytearray(raw[pos + 1:pos + 1 + stride])
        pos += 1 + stride
        for i in range(stride):
            a = line[i - channels] if i >= channels else 0
            b = prev[i]
            c = prev[i - channels] if i >= channels else 0
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
        prev = line
        if channels == 3:
            line = bytearray(b"".join(bytes(line[i:i + 3]) + b"\xff"
                                      for i in range(0, stride, 3)))
        rows.append(bytes(line))
    return width, height, rows


def png_write(path, width, height, rows):
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body
                + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))
    raw = b"".join(b"\x00" + row for row in rows)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(raw, 9)))
        f.write(chunk(b"IEND", b""))


def and_mask(width, height, rows):
    """The 1-bit mask rows, bottom-up, each padded to a multiple of 4 bytes."""
    stride = ((width + 31) // 32) * 4
    out = bytearray()
    for row in reversed(rows):
        line = bytearray(stride)
        for x in range(width):
            if row[4 * x + 3] < MASK_ALPHA:
                line[x // 8] |= 0x80 >> (x % 8)
        out += line
    return bytes(out)


def info_header(width, height, bits, colours_used, image_bytes):
    return struct.pack("<IiiHHIIiiII", 40, width, 2 * height, 1, bits, 0,
                       image_bytes, 0, 0, colours_used, 0)


def dib32(width, height, rows):
    pixels = bytearray()
    for row in reversed(rows):
        for x in range(width):
            r, g, b, a = row[4 * x:4 * x + 4]
            pixels += bytes((b, g, r, a))
    mask = and_mask(width, height, rows)
    return info_header(width, height, 32, 0, len(pixels) + len(mask)) + pixels + mask


def median_cut(colours, count):
    """Up to `count` palette colours from a {rgb: frequency} histogram."""
    boxes = [list(colours.items())]
    while len(boxes) < count:
        best, best_range, best_axis = None, 0, 0
        for i, box in enumerate(boxes):
            if len(box) < 2:
                continue
            for axis in range(3):
                values = [c[0][axis] for c in box]
                spread = max(values) - min(values)
                if spread > best_range:
                    best, best_range, best_axis = i, spread, axis
        if best is None:
            break
        box = sorted(boxes.pop(best), key=lambda c: c[0][best_axis])
        # Split at the weighted median so busy colours get more entries.
        half, acc, cut = sum(n for _, n in box) / 2, 0, len(box) - 1
        for j, (_, n) in enumerate(box):
            acc += n
            if acc >= half:
                cut = min(j + 1, len(box) - 1)
                break
        boxes += [box[:cut], box[cut:]]
    palette = []
    for box in boxes:
        total = sum(n for _, n in box)
        palette.append(tuple(round(sum(c[k] * n for c, n in box) / total) for k in range(3)))
    return palette


def dib8(width, height, rows):
    histogram = {}
    for row in rows:
        for x in range(width):
            if row[4 * x + 3] >= MASK_ALPHA:
                rgb = tuple(row[4 * x:4 * x + 3])
                histogram[rgb] = histogram.get(rgb, 0) + 1
    palette = median_cut(histogram, 256) if histogram else [(0, 0, 0)]
    palette += [(0, 0, 0)] * (256 - len(palette))
    nearest = {}

    def index_of(rgb):
        if rgb not in nearest:
            nearest[rgb] = min(range(256), key=lambda i: sum(
                (palette[i][k] - rgb[k]) ** 2 for k in range(3)))
        return nearest[rgb]

    stride = (width + 3) // 4 * 4
    pixels = bytearray()
    for row in reversed(rows):
        line = bytearray(stride)
        for x in range(width):
            if row[4 * x + 3] >= MASK_ALPHA:
                line[x] = index_of(tuple(row[4 * x:4 * x + 3]))
        pixels += line
    table = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    mask = and_mask(width, height, rows)
    return info_header(width, height, 8, 256, len(pixels) + len(mask)) + table + pixels + mask


def ico_write(path, width, height, images):
    """images: list of (bit count, DIB bytes)."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for bits, dib in images:
        out += struct.pack("<BBBBHHII", width if width < 256 else 0,
                           height if height < 256 else 0, 0, 0, 1, bits,
                           len(dib), offset)
        offset += len(dib)
    out += b"".join(dib for _, dib in images)
    with open(path, "wb") as f:
        f.write(out)


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in ("ico", "ico2", "png"):
        sys.exit(__doc__)
    mode, src, dst = sys.argv[1:]
    width, height, rows = png_read(src)
    if mode == "png":
        png_write(dst, width, height, rows)
        return
    images = [(32, dib32(width, height, rows))]
    if mode == "ico2":
        images.append((8, dib8(width, height, rows)))
    ico_write(dst, width, height, images)


if __name__ == "__main__":
    main()
