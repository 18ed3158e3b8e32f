"""Swatch sheets: every colour drawn where its index says, with a label under it."""

import numpy as np
import pytest

from palettra_tools import PALETTES
from palettra_tools.swatches import LABEL, SWATCH, swatch_position, swatch_sheet


@pytest.mark.parametrize("name", ["bw", "pico-8", "web-safe"])
def test_each_colour_fills_its_swatch_and_has_a_label(name):
    palette = PALETTES[name].colours
    sheet = swatch_sheet(palette, name)
    assert sheet.dtype == np.uint8 and sheet.ndim == 3
    for index, colour in enumerate(palette):
        top, left = swatch_position(index, len(palette))
        inside = sheet[top + 2 : top + SWATCH - 2, left + 2 : left + SWATCH - 2]
        assert (inside == colour.astype(np.uint8)).all()
        label = sheet[top + SWATCH : top + SWATCH + LABEL, left : left + SWATCH]
        assert (label != 255).any()


def test_an_empty_palette_still_gives_a_sheet():
    assert swatch_sheet(np.zeros((0, 3), dtype=np.uint64), "none").size > 0
