"""PNG written a band of rows at a time: each band is filtered and fed to
one compressor as the next, so the encoder holds no copy of the image and
can say how far it has got."""

import struct
import zlib
from collections.abc import Callable
from typing import Any, BinaryIO

import numpy as np
import numpy.typing as npt

from .bands import row_bands

_SIGNATURE = b"\x89PNG\r\n\x1a\n"
_SRGB_PERCEPTUAL = b"\x00"
_COLOUR_TYPES = {1: 3, 3: 2, 4: 6}  # channels -> PNG colour type (1: palette entries)
_LEVEL = 6

Progress = Callable[[int, int], None]


def png_chunk(kind: bytes, payload: bytes) -> bytes:
    return struct.pack(">I", len(payload)) + kind + payload + struct.pack(">I", zlib.crc32(kind + payload))


Row = npt.NDArray[np.int16]


def _paeth(left: Row, up: Row, corner: Row) -> Row:
    estimate = left + up - corner
    to_left, to_up, to_corner = np.abs(estimate - left), np.abs(estimate - up), np.abs(estimate - corner)
    return np.where((to_left <= to_up) & (to_left <= to_corner), left, np.where(to_up <= to_corner, up, corner))


def _filtered(rows: npt.NDArray[np.uint8], above: npt.NDArray[np.uint8], step: int) -> npt.NDArray[np.uint8]:
    """The rows (n, bytes) each with its filter type byte in front: of the
    five filters, the one whose bytes read as signed are smallest in sum,
    as encoders commonly choose."""
    value = rows.astype(np.int16)
    up = np.concatenate([above[np.newaxis], rows[:-1]]).astype(np.int16)
    left, corner = np.zeros_like(value), np.zeros_like(value)
    left[:, step:], corner[:, step:] = value[:, :-step], up[:, :-step]
    average = (left + up) >> 1
    candidates = np.stack([value, value - left, value - up, value - average, value - _paeth(left, up, corner)])
    encoded = (candidates & 0xFF).astype(np.uint8)
    cost = np.abs(encoded.view(np.int8).astype(np.int32)).sum(axis=2)
    choice = np.argmin(cost, axis=0)
    out = np.empty((len(rows), rows.shape[1] + 1), np.uint8)
    out[:, 0] = choice
    out[:, 1:] = encoded[choice, np.arange(len(rows))]
    return out


def write_png(
    out: BinaryIO,
    pixels: npt.NDArray[np.integer[Any]],
    *,
    palette: bytes | None = None,
    transparency: bytes | None = None,
    progress: Progress | None = None,
) -> None:
    """Writes (h, w, 3 or 4) uint8 or uint16 samples, or (h, w) uint8 entries
    of `palette` (RGB triples, with `transparency` the entries' alphas), as
    a PNG marked as sRGB. `progress` is called with (rows done, rows)."""
    height, width = pixels.shape[:2]
    channels = 1 if pixels.ndim == 2 else pixels.shape[2]
    bits = 16 if pixels.dtype == np.uint16 else 8
    header = struct.pack(">IIBBBBB", width, height, bits, _COLOUR_TYPES[channels], 0, 0, 0)
    out.write(_SIGNATURE + png_chunk(b"IHDR", header) + png_chunk(b"sRGB", _SRGB_PERCEPTUAL))
    if palette is not None:
        out.write(png_chunk(b"PLTE", palette))
    if transparency is not None:
        out.write(png_chunk(b"tRNS", transparency))
    step = channels * bits // 8
    compressor = zlib.compressobj(_LEVEL)
    above = np.zeros(width * step, np.uint8)
    for rows in row_bands(height, width):
        band = np.ascontiguousarray(pixels[rows], dtype=">u2" if bits == 16 else np.uint8)
        raw = band.view(np.uint8).reshape(rows.stop - rows.start, width * step)
        if palette is None:
            lines = _filtered(raw, above, step)
        else:
            # Entries are not magnitudes: differences of them compress no better.
            lines = np.concatenate([np.zeros((len(raw), 1), np.uint8), raw], axis=1)
        if len(raw):
            above = raw[-1].copy()
        data = compressor.compress(lines.tobytes())
        if data:
            out.write(png_chunk(b"IDAT", data))
        if progress is not None:
            progress(rows.stop, height)
    out.write(png_chunk(b"IDAT", compressor.flush()) + png_chunk(b"IEND", b""))
