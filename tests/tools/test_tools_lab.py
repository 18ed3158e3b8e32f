import math

import numpy as np
import pytest

import palettra
from palettra_tools import PALETTES, Picture, convert_picture, lab_coordinates, map_colours, srgb_to_lab

RNG = np.random.default_rng(1976)


def reference_lab(rgb, top):
    """CIELAB of one colour, written out with Python floats, apart from the
    array code: sRGB decoding, the D65 matrix, white = the matrix's row sums."""
    matrix = [
        [0.4124564, 0.3575761, 0.1804375],
        [0.2126729, 0.7151522, 0.0721750],
        [0.0193339, 0.1191920, 0.9503041],
    ]
    linear = []
    for value in rgb:
        c = value / top
        linear.append(c / 12.92 if c <= 0.04045 else math.pow((c + 0.055) / 1.055, 2.4))
    f = []
    for row in matrix:
        t = sum(m * v for m, v in zip(row, linear)) / sum(row)
        f.append(t ** (1 / 3) if t > (6 / 29) ** 3 else t / (3 * (6 / 29) ** 2) + 4 / 29)
    return 116 * f[1] - 16, 500 * (f[0] - f[1]), 200 * (f[1] - f[2])


def reference_rows(pixels, palette, top):
    """For every pixel the palette row of least ΔE*ab in floating point, and
    whether the runner-up is clearly farther. The integer coordinates are
    rounded to 1/8192, which moves a ΔE by at most about 2e-4; a pixel whose
    two nearest rows differ by less than 1e-3 is a near-tie on which rounding
    may decide either way, so it is not compared. Exact ties are checked
    separately."""
    palette_lab = [reference_lab(colour, top) for colour in palette.tolist()]
    rows, clear = [], []
    for pixel in pixels.reshape(-1, 3).tolist():
        lab = reference_lab(pixel, top)
        distances = sorted((math.dist(lab, entry), k) for k, entry in enumerate(palette_lab))
        rows.append(distances[0][1])
        clear.append(distances[1][0] - distances[0][0] > 1e-3)
    return np.array(rows), np.array(clear)


@pytest.mark.parametrize("palette_name", ["pico-8", "ega", "gameboy"])
@pytest.mark.parametrize("bits", [8, 16])
def test_lab_matching_agrees_with_a_floating_point_reference(palette_name, bits):
    top = (1 << bits) - 1
    palette = PALETTES[palette_name].colours * np.uint64(257 if bits == 16 else 1)
    img = RNG.integers(0, top + 1, size=(24, 25, 3), dtype=np.uint16 if bits == 16 else np.uint8)
    result = map_colours(img, palette, metric="lab", bits=bits, band_rows=5)

    rows, clear = reference_rows(img, palette, top)
    assert clear.mean() > 0.95
    expected = palette[rows].reshape(img.shape)
    assert np.array_equal(result.reshape(-1, 3)[clear], expected.reshape(-1, 3)[clear])
    # The metric matters: RGB distance picks other colours for some pixels.
    assert not np.array_equal(result, palettra.convert(img, palette))


def test_known_lab_values():
    lab = srgb_to_lab(np.array([[255, 0, 0], [0, 0, 255], [255, 255, 255], [0, 0, 0]]), 8)
    assert lab[0] == pytest.approx([53.2408, 80.0925, 67.2032], abs=1e-4)
    assert lab[1] == pytest.approx([32.2970, 79.1875, -107.8602], abs=1e-4)
    assert lab[2] == pytest.approx([100, 0, 0], abs=1e-9)
    assert lab[3] == pytest.approx([0, 0, 0], abs=1e-9)


def test_integer_coordinates_are_scaled_offset_and_rounded():
    colours = RNG.integers(0, 256, size=(500, 3))
    lab = srgb_to_lab(colours, 8)
    integers = lab_coordinates(colours, 8)
    assert integers.dtype == np.uint64
    expected = np.rint((lab + [0, 128, 128]) * 8192)
    assert np.array_equal(integers, expected)
    assert lab_coordinates([[255, 255, 255]], 8).tolist() == [[819200, 1048576, 1048576]]
    # 16-bit samples of the same colours give the same coordinates.
    assert np.array_equal(lab_coordinates(colours * 257, 16), integers)


def test_palette_colours_map_to_themselves():
    palette = np.array([[10, 200, 30], [90, 90, 90], [10, 200, 30], [255, 255, 255]], dtype=np.uint64)
    img = palette[None, [3, 2, 1, 0]].astype(np.uint8)
    assert map_colours(img, palette, metric="lab").tolist() == img.tolist()


@pytest.mark.parametrize("order", [[0, 2], [2, 0]])
def test_equal_lab_distances_go_to_the_first_row(order):
    # Dark greys lie on the linear part of sRGB and of L*, so grey 1 is as
    # far from grey 0 as from grey 2, to the last integer unit.
    greys = lab_coordinates([[0, 0, 0], [1, 1, 1], [2, 2, 2]], 8).astype(np.int64)
    assert np.sum((greys[1] - greys[0]) ** 2) == np.sum((greys[2] - greys[1]) ** 2)
    palette = np.array([[g, g, g] for g in order], dtype=np.uint64)
    result = map_colours(np.ones((1, 1, 3), np.uint8), palette, metric="lab")
    assert result.tolist() == [[palette[0].tolist()]]


def test_lab_keeps_alpha_and_depth():
    rgb = RNG.integers(0, 65536, size=(3, 4, 3), dtype=np.uint16)
    alpha = RNG.integers(0, 65536, size=(3, 4), dtype=np.uint16)
    result = convert_picture(Picture(rgb, alpha, 16), PALETTES["cga"].colours, metric="lab")
    assert np.array_equal(result.alpha, alpha) and result.rgb.dtype == np.uint16
    assert np.all(result.rgb % 257 == 0)
