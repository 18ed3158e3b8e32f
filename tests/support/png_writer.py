"""A plain PNG writer for tests: any bit depth Pillow cannot write, and every
row filter, so that readers are tested on files they did not make."""

import struct
import zlib

import numpy as np

COLOUR_TYPES = {1: 0, 2: 4, 3: 2, 4: 6}  # channels -> grey, grey+alpha, RGB, RGBA


def _paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def _filter_row(kind, row, previous, bpp):
    out = bytearray(len(row))
    for i, x in enumerate(row):
        a = row[i - bpp] if i >= bpp else 0
        b = previous[i]
        c = previous[i - bpp] if i >= bpp else 0
        predictor = (0, a, b, (a + b) // 2, _paeth(a, b, c))[kind]
        out[i] = (x - predictor) % 256
    return bytes([kind]) + bytes(out)


def _chunk(kind, payload):
    return struct.pack(">I", len(payload)) + kind + payload + struct.pack(">I", zlib.crc32(kind + payload))


def png_bytes(samples, bit_depth=16, filters=(0,), extra_chunks=()):
    """A PNG of `samples` (h, w, channels), row i filtered with filters[i % len]."""
    samples = np.asarray(samples)
    height, width, channels = samples.shape
    dtype = ">u2" if bit_depth == 16 else "u1"
    raw = samples.astype(dtype).reshape(height, -1)
    bpp = channels * (2 if bit_depth == 16 else 1)
    previous = bytes(raw.shape[1] * raw.itemsize)
    lines = []
    for i in range(height):
        row = raw[i].tobytes()
        lines.append(_filter_row(filters[i % len(filters)], row, previous, bpp))
        previous = row
    header = struct.pack(">IIBBBBB", width, height, bit_depth, COLOUR_TYPES[channels], 0, 0, 0)
    body = b"".join(_chunk(kind, payload) for kind, payload in extra_chunks)
    return (
        b"\x89PNG\r\n\x1a\n"
        + _chunk(b"IHDR", header)
        + body
        + _chunk(b"IDAT", zlib.compress(b"".join(lines)))
        + _chunk(b"IEND", b"")
    )
