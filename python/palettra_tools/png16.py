"""16-bit colour PNGs, which Pillow can only hold cut down to 8 bits a channel.

Reading still goes through Pillow's PNG decoder (inflate, unfiltering, Adam7):
the same file is decoded twice, once with the big-endian raw mode, which keeps
the high byte of every sample, and once with the little-endian one, which
keeps the other byte. Both decodes unfilter with the true 6 or 8 bytes per
pixel, so the two byte planes are exact. Writing is a plain PNG encoder.
"""

import io
import struct
import zlib

import numpy as np
import numpy.typing as npt
from PIL import Image

_PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
_COLOUR_TYPE = {3: 2, 4: 6}  # channels -> PNG colour type (RGB, RGBA)
_FILTER_UP = 2
_BYTE = np.uint16(256)

# Raw modes Pillow picks for 16-bit PNGs it cannot hold, and the channel count.
SIXTEEN_BIT_COLOUR = {"RGB;16B": 3, "RGBA;16B": 4, "LA;16B": 2}


def raw_mode(image: Image.Image) -> str | None:
    """The raw mode of a not yet loaded single-tile image, if it has one."""
    tiles = getattr(image, "tile", [])
    if len(tiles) != 1:
        return None
    args = tiles[0].args
    # Older Pillow versions keep the raw mode first in a tuple.
    mode = args if isinstance(args, str) else (args[0] if args else None)
    return mode if isinstance(mode, str) else None


def _decode_as(data: bytes, mode: str) -> npt.NDArray[np.uint16]:
    with Image.open(io.BytesIO(data)) as image:
        image.tile = [image.tile[0]._replace(args=mode)]
        image.load()
        return np.asarray(image, dtype=np.uint16)


def decode(data: bytes, mode: str) -> npt.NDArray[np.uint16]:
    """The full 16-bit samples (h, w, channels) of a PNG whose raw mode is `mode`."""
    if mode == "LA;16B":
        # Four bytes a pixel, read as they are: grey high, grey low, alpha high, alpha low.
        raw = _decode_as(data, "RGBA")
        return np.stack([raw[..., 0] * _BYTE + raw[..., 1], raw[..., 2] * _BYTE + raw[..., 3]], axis=-1)
    high = _decode_as(data, mode)
    low = _decode_as(data, mode.replace(";16B", ";16L"))
    return high * _BYTE + low


def _chunk(kind: bytes, payload: bytes) -> bytes:
    return struct.pack(">I", len(payload)) + kind + payload + struct.pack(">I", zlib.crc32(kind + payload))


def encode(pixels: npt.NDArray[np.uint16]) -> bytes:
    """A 16-bit RGB or RGBA PNG of `pixels` (h, w, 3 or 4)."""
    height, width, channels = pixels.shape
    header = struct.pack(">IIBBBBB", width, height, 16, _COLOUR_TYPE[channels], 0, 0, 0)
    rows = np.ascontiguousarray(pixels, dtype=">u2").view(np.uint8).reshape(height, width * channels * 2)
    # The Up filter on every row: cheap to compute and it compresses smooth images well.
    filtered = rows.copy()
    filtered[1:] -= rows[:-1]
    lines = np.empty((height, 1 + filtered.shape[1]), dtype=np.uint8)
    lines[:, 0] = _FILTER_UP
    lines[:, 1:] = filtered
    return (
        _PNG_SIGNATURE
        + _chunk(b"IHDR", header)
        + _chunk(b"IDAT", zlib.compress(lines.tobytes(), 9))
        + _chunk(b"IEND", b"")
    )
