"""Linear light: the sRGB transfer curve as exact integer tables.

Screens, panels and eyes average light, not code values, so dithering that
carries its error in linear light keeps the brightness a viewer sees. The
tables here give, for every 8-bit or 16-bit code value, its linear value in
units of 1/2**20 of white, rounded to the nearest integer (halves upwards)
from the exact curve. They are computed with integers only, so every
machine gets the same bits; docs/dithering.md writes the rule down.
"""

from functools import cache
from typing import Literal, get_args

import numpy as np
import numpy.typing as npt

Light = Literal["linear", "srgb"]
"""linear: error carried in linear light; srgb: in code values."""

LIGHTS: tuple[Light, ...] = get_args(Light)

# The linear value of white; linear values lie in 0 to WHITE.
WHITE = 1 << 20


def check_light(light: str) -> None:
    if light not in LIGHTS:
        raise ValueError(f"unknown light {light!r}: use one of {', '.join(LIGHTS)}")


def _nearest_fifth_root(numerator: int, denominator: int, guess: int) -> int:
    """The largest n with (2n - 1)**5 * denominator <= 32 * numerator, that
    is floor(y + 1/2) for y**5 = numerator / denominator, starting near `guess`."""
    target = 32 * numerator
    n = max(guess, 0)
    while n > 0 and (2 * n - 1) ** 5 * denominator > target:
        n -= 1
    while (2 * n + 1) ** 5 * denominator <= target:
        n += 1
    return n


def linear_value(code: int, bits: int) -> int:
    """The linear value of `code` at `bits` bits a channel."""
    top = (1 << bits) - 1
    if 100_000 * code <= 4045 * top:
        # code / top / 12.92, in units of 1/WHITE, halves upwards.
        return (2 * WHITE * 100 * code + 1292 * top) // (2 * 1292 * top)
    # ((c + 0.055) / 1.055) ** 2.4 with c = code / top: (p / q) ** (12 / 5).
    p, q = 1000 * code + 55 * top, 1055 * top
    guess = round(WHITE * (p / q) ** 2.4)
    return _nearest_fifth_root(WHITE**5 * p**12, q**12, guess)


@cache
def _table(bits: int) -> npt.NDArray[np.uint32]:
    table = np.array([linear_value(code, bits) for code in range(1 << bits)], dtype=np.uint32)
    table.flags.writeable = False
    return table


def linear_table(bits: int) -> npt.NDArray[np.uint32]:
    """The linear value of every code value 0 to 2**bits - 1 (bits 8 or 16), read-only."""
    if bits not in (8, 16):
        raise ValueError(f"linear light tables are for 8 or 16 bits, not {bits}")
    return _table(bits)

