"""Perceptual matching: nearest colour by CIE 1976 ΔE*ab in CIELAB.

What is computed, for a colour (R, G, B) stored with `bits` bits a channel
(the image's samples, and the palette after scaling to the image's depth):

1. c = V / (2**bits - 1) for each channel V.
2. sRGB decoding: lin = c / 12.92 if c <= 0.04045, else ((c + 0.055) / 1.055) ** 2.4.
3. X, Y, Z = M · (lin_R, lin_G, lin_B), with the sRGB (D65) matrix M below,
   each row evaluated left to right: M[i][0]·R + M[i][1]·G + M[i][2]·B.
4. The reference white is D65 as M itself gives it, (Xn, Yn, Zn) = M · (1, 1, 1),
   so that sRGB white comes out as L* = 100, a* = b* = 0.
5. With ε = 216/24389 and κ = 24389/27 (the exact CIE constants):
   f(t) = cbrt(t) if t > ε, else (κ·t + 16) / 116, for t = X/Xn, Y/Yn, Z/Zn.
6. L* = 116·f(Y/Yn) − 16, a* = 500·(f(X/Xn) − f(Y/Yn)), b* = 200·(f(Y/Yn) − f(Z/Zn)).
7. Integers: L' = rint(L*·S), a' = rint((a* + 128)·S), b' = rint((b* + 128)·S)
   with S = 8192 (a power of two, so the product is exact) and rint rounding
   half to even; a value that rounds below 0 (only −0.0 can) is 0.

All arithmetic is IEEE double precision (NumPy float64). For sRGB colours
L* lies in [0, 100], a* in about [−86.2, 98.3] and b* in about [−107.9, 94.5],
so every integer lies in [0, 2**21). palettra.convert then finds, for every
pixel, the palette row with the least squared distance between these integer
triples, which is ΔE*ab squared times S², up to the rounding of step 7. The
squared distances stay below 3·2**42, far inside the 2**53 range where doubles
hold integers exactly, so convert compares them exactly: equal integer
distances are true ties, and a tie goes to the palette row of lowest index,
as with plain RGB matching. The chosen Lab triple is then mapped back to the
first palette row that has it (rows with equal triples are equally near to
every pixel, so that is the row convert chose), and that row's RGB values,
unchanged, become the pixel.
"""

import numpy as np
import numpy.typing as npt

SCALE = 8192
OFFSET = 128.0

# sRGB linear to XYZ, D65 (IEC 61966-2-1, to seven decimals).
M = (
    (0.4124564, 0.3575761, 0.1804375),
    (0.2126729, 0.7151522, 0.0721750),
    (0.0193339, 0.1191920, 0.9503041),
)
WHITE = tuple(row[0] + row[1] + row[2] for row in M)
EPSILON = 216 / 24389
KAPPA = 24389 / 27

_KEY_BITS = np.uint64(21)


def srgb_to_lab(values: npt.ArrayLike, bits: int) -> npt.NDArray[np.float64]:
    """CIELAB (L*, a*, b*) in float64 of the first three channels of `values`."""
    c = np.asarray(values)[..., :3].astype(np.float64) / float((1 << bits) - 1)
    lin = np.where(c <= 0.04045, c / 12.92, ((c + 0.055) / 1.055) ** 2.4)
    r, g, b = lin[..., 0], lin[..., 1], lin[..., 2]
    f = []
    for row, white in zip(M, WHITE):
        t = (row[0] * r + row[1] * g + row[2] * b) / white
        f.append(np.where(t > EPSILON, np.cbrt(t), (KAPPA * t + 16.0) / 116.0))
    fx, fy, fz = f
    return np.stack([116.0 * fy - 16.0, 500.0 * (fx - fy), 200.0 * (fy - fz)], axis=-1)


def lab_coordinates(values: npt.ArrayLike, bits: int) -> npt.NDArray[np.uint64]:
    """The scaled, offset, rounded integer Lab triples that convert compares."""
    lab = srgb_to_lab(values, bits)
    lab[..., 1:] += OFFSET
    integers: npt.NDArray[np.uint64] = np.maximum(np.rint(lab * SCALE), 0.0).astype(np.uint64)
    return integers


def _keys(triples: npt.NDArray[np.uint64]) -> npt.NDArray[np.uint64]:
    keys: npt.NDArray[np.uint64] = triples[..., 0] << (_KEY_BITS + _KEY_BITS) | triples[..., 1] << _KEY_BITS | triples[..., 2]
    return keys


class RowLookup:
    """Finds the first palette row with a given Lab triple."""

    def __init__(self, palette_lab: npt.NDArray[np.uint64]):
        self._keys, self._first = np.unique(_keys(palette_lab), return_index=True)

    def rows(self, chosen_lab: npt.NDArray[np.uint64]) -> npt.NDArray[np.intp]:
        wanted = _keys(chosen_lab)
        slots = np.searchsorted(self._keys, wanted)
        # convert only ever returns palette triples, so every key is found.
        return self._first[slots]
