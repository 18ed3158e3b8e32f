"""Well-known palettes, each with where its colours come from."""

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt


@dataclass(frozen=True)
class NamedPalette:
    name: str
    description: str
    source: str
    hex_colours: tuple[str, ...]

    @property
    def colours(self) -> npt.NDArray[np.uint64]:
        """A fresh (n, 3) array, so callers may modify it freely."""
        return np.array(
            [[int(h[i : i + 2], 16) for i in (0, 2, 4)] for h in self.hex_colours],
            dtype=np.uint64,
        ).reshape(-1, 3)


def _ega_colours() -> tuple[str, ...]:
    # Colour number bits, high to low, are r g b R G B: a capital letter adds
    # 0xAA to its channel, a small one 0x55.
    def channel(number: int, high_bit: int, low_bit: int) -> int:
        return 0xAA * ((number >> high_bit) & 1) + 0x55 * ((number >> low_bit) & 1)

    return tuple(
        f"{channel(n, 2, 5):02x}{channel(n, 1, 4):02x}{channel(n, 0, 3):02x}" for n in range(64)
    )


def _web_safe_colours() -> tuple[str, ...]:
    steps = [f"{v:02x}" for v in range(0, 256, 0x33)]
    return tuple(r + g + b for r in steps for g in steps for b in steps)


_CGA_16 = (
    "000000", "0000aa", "00aa00", "00aaaa", "aa0000", "aa00aa", "aa5500", "aaaaaa",
    "555555", "5555ff", "55ff55", "55ffff", "ff5555", "ff55ff", "ffff55", "ffffff",
)  # fmt: skip

_ALL = (
    NamedPalette(
        "pico-8",
        "the 16 colours of a fantasy console",
        "the fixed 16-colour palette of PICO-8 (Lexaloffle Games), colours 0 to 15 in order",
        (
            "000000", "1d2b53", "7e2553", "008751", "ab5236", "5f574f", "c2c3c7", "fff1e8",
            "ff004d", "ffa300", "ffec27", "00e436", "29adff", "83769c", "ff77a8", "ffccaa",
        ),
    ),  # fmt: skip
    NamedPalette(
        "gameboy",
        "the 4 shades of green of the first handheld's screen, darkest first",
        "the widely used approximation of the Nintendo Game Boy (DMG-01) LCD shades",
        ("0f380f", "306230", "8bac0f", "9bbc0f"),
    ),
    NamedPalette(
        "cga",
        "the 16 RGBI colours of IBM's Color Graphics Adapter",
        "IBM CGA text-mode colours 0 to 15 as the IBM 5153 monitor shows them "
        "(colour 6 as brown, aa5500)",
        _CGA_16,
    ),
    NamedPalette(
        "cga-mode4",
        "CGA's 320x200 4-colour mode, palette 1 high intensity",
        "IBM CGA graphics mode 4, palette 1 with the intensity bit set: "
        "black, light cyan, light magenta, white",
        ("000000", "55ffff", "ff55ff", "ffffff"),
    ),
    NamedPalette(
        "ega",
        "all 64 colours of IBM's Enhanced Graphics Adapter",
        "IBM EGA 6-bit colour numbers 0 to 63 (bits rgbRGB, two bits a channel: "
        "00, 55, aa, ff)",
        _ega_colours(),
    ),
    NamedPalette(
        "web-safe",
        "the 216-colour web-safe cube",
        "the 6x6x6 cube of early web browsers: every channel one of 00, 33, 66, 99, cc, ff; "
        "red varies slowest, blue fastest",
        _web_safe_colours(),
    ),
    NamedPalette(
        "bw",
        "black and white",
        "black 000000 and white ffffff",
        ("000000", "ffffff"),
    ),
    NamedPalette(
        "epaper-bwr",
        "black, white and red e-paper panels",
        "the three inks of tri-colour e-paper panels (Waveshare and Good Display 'B' and 'Z' "
        "models, UC8151 and SSD1680 driver ICs) as their drivers' image converters name them: "
        "black 000000, white ffffff, red ff0000",
        ("000000", "ffffff", "ff0000"),
    ),
    NamedPalette(
        "epaper-bwy",
        "black, white and yellow e-paper panels",
        "the three inks of the yellow tri-colour e-paper panels (Waveshare and Good Display "
        "'C' models) as their drivers' image converters name them: black 000000, white ffffff, "
        "yellow ffff00",
        ("000000", "ffffff", "ffff00"),
    ),
    NamedPalette(
        "epaper-7",
        "seven-colour ACeP e-paper panels (5.65 and 7.3 inch)",
        "E Ink ACeP (Gallery) seven-colour panels such as the Waveshare 5.65inch e-Paper (F) "
        "and 7.3inch (F): the panel's colour codes 0 to 6 in order, black, white, green, blue, "
        "red, yellow, orange, with the nominal values of the maker's example drivers",
        ("000000", "ffffff", "00ff00", "0000ff", "ff0000", "ffff00", "ff8000"),
    ),
    NamedPalette(
        "epaper-6",
        "six-colour Spectra 6 e-paper panels",
        "E Ink Spectra 6 panels such as the Waveshare 7.3inch e-Paper (E): black, white, "
        "yellow, red, blue, green, the nominal values of the maker's example drivers "
        "(the panel's own codes are 0, 1, 2, 3, 5 and 6)",
        ("000000", "ffffff", "ffff00", "ff0000", "0000ff", "00ff00"),
    ),
)

PALETTES: dict[str, NamedPalette] = {p.name: p for p in _ALL}
