"""A display colour profile (ICC version 2, a matrix and a gamma curve per
channel) written from scratch, so that tests can embed a colour space other
than sRGB in an image, and the plain arithmetic that such a profile means."""

import struct

import numpy as np

D50 = (0.9642, 1.0, 0.8249)

# Adobe RGB (1998): primaries adapted to D50, as profiles store them, and its gamma.
ADOBE_RGB_COLORANTS = ((0.60974, 0.31111, 0.01947), (0.20528, 0.62567, 0.06087), (0.14919, 0.06322, 0.74457))
ADOBE_RGB_GAMMA_256THS = 563
SRGB_COLORANTS = ((0.4360747, 0.2225045, 0.0139322), (0.3850649, 0.7168786, 0.0971045), (0.1430804, 0.0606169, 0.7141733))


def _s15fixed16(values):
    return b"".join(struct.pack(">i", round(v * 65536)) for v in values)


def _description(text):
    ascii_text = text.encode() + b"\0"
    return b"desc" + bytes(4) + struct.pack(">I", len(ascii_text)) + ascii_text + bytes(4 + 4 + 2 + 1 + 67)


def matrix_profile(name, colorants=ADOBE_RGB_COLORANTS, gamma_256ths=ADOBE_RGB_GAMMA_256THS):
    curve = b"curv" + bytes(4) + struct.pack(">IH", 1, gamma_256ths)
    tags = [(b"desc", _description(name)), (b"wtpt", b"XYZ " + bytes(4) + _s15fixed16(D50))]
    tags += [(sig, b"XYZ " + bytes(4) + _s15fixed16(xyz)) for sig, xyz in zip((b"rXYZ", b"gXYZ", b"bXYZ"), colorants)]
    tags += [(sig, curve) for sig in (b"rTRC", b"gTRC", b"bTRC")]
    offset = 128 + 4 + 12 * len(tags)
    table, data = b"", b""
    for sig, payload in tags:
        table += sig + struct.pack(">II", offset + len(data), len(payload))
        data += payload + bytes(-len(payload) % 4)
    size = offset + len(data)
    header = (
        struct.pack(">I", size) + bytes(4) + bytes([2, 0x10, 0, 0]) + b"mntrRGB XYZ " + bytes(12) + b"acsp"
        + bytes(24) + struct.pack(">I", 0) + _s15fixed16(D50) + bytes(48)
    )  # fmt: skip
    return header + struct.pack(">I", len(tags)) + table + data


def adobe_rgb_to_srgb(rgb8):
    """8-bit Adobe RGB (1998) colours as 8-bit sRGB, by the arithmetic, in floating point."""
    linear = (np.asarray(rgb8, dtype=float) / 255) ** (ADOBE_RGB_GAMMA_256THS / 256)
    xyz = linear @ np.array(ADOBE_RGB_COLORANTS)
    srgb_linear = np.clip(xyz @ np.linalg.inv(np.array(SRGB_COLORANTS)), 0, 1)
    encoded = np.where(srgb_linear <= 0.0031308, 12.92 * srgb_linear, 1.055 * srgb_linear ** (1 / 2.4) - 0.055)
    return np.rint(encoded * 255).astype(int)
