import numpy as np
import pytest

import palettra
from palettra_tools import (
    PALETTES,
    PaletteError,
    Picture,
    changed_pixels,
    convert_in_bands,
    convert_picture,
    map_colours,
    palette_for_depth,
)

RNG = np.random.default_rng(3)
PALETTE = PALETTES["pico-8"].colours


@pytest.mark.parametrize("band_rows", [None, 1, 3, 7, 13, 50])
def test_bands_give_the_result_of_one_call(band_rows):
    img = RNG.integers(0, 256, size=(13, 11, 4), dtype=np.uint8)
    reports = []
    result = convert_in_bands(img, PALETTE, band_rows, lambda done, total: reports.append((done, total)))
    assert result.dtype == np.uint64 and result.flags.c_contiguous
    assert np.array_equal(result, palettra.convert(img, PALETTE))
    rows = band_rows or 13
    expected_done = list(range(rows, 13, rows)) + [13]
    assert reports == [(done, 13) for done in expected_done]


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.int64])
def test_bands_can_be_stored_into_a_narrower_array(dtype):
    img = RNG.integers(0, 256, size=(9, 5, 3), dtype=np.uint8)
    out = np.zeros((9, 5, 4), dtype)[..., :3]
    assert convert_in_bands(img, PALETTE, 2, out=out) is out
    assert np.array_equal(out, palettra.convert(img, PALETTE))


@pytest.mark.parametrize("shape", [(0, 5, 3), (4, 0, 3)])
def test_empty_images_are_banded_like_one_call(shape):
    img = np.zeros(shape, np.uint8)
    assert convert_in_bands(img, PALETTE, 2).shape == palettra.convert(img, PALETTE).shape


@pytest.mark.parametrize("height", [0, 3])
def test_bands_report_a_bad_palette_as_one_call_does(height):
    img = np.zeros((height, 2, 3), np.uint8)
    bad = PALETTE.astype(np.int64)
    with pytest.raises(TypeError) as one_call:
        palettra.convert(img, bad)
    with pytest.raises(TypeError) as banded:
        convert_in_bands(img, bad, 1)
    assert str(banded.value) == str(one_call.value)


def test_palette_colours_are_matched_exactly():
    # White stays white, however many near-whites the palette has.
    palette = np.array([[254, 255, 255], [255, 255, 254], [255, 255, 255], [0, 0, 0]], dtype=np.uint64)
    img = palette[None, :, :].astype(np.uint8)
    picture = Picture(img, None, 8)
    assert np.array_equal(convert_picture(picture, palette).rgb, img)


def test_alpha_is_passed_through_untouched():
    rgb = RNG.integers(0, 256, size=(4, 5, 3), dtype=np.uint8)
    alpha = RNG.integers(0, 256, size=(4, 5), dtype=np.uint8)
    before = alpha.copy()
    result = convert_picture(Picture(rgb, alpha, 8), PALETTE)
    assert np.array_equal(result.alpha, before) and np.array_equal(alpha, before)
    assert np.array_equal(result.rgb, palettra.convert(rgb, PALETTE))


def test_16_bit_pictures_map_to_the_palette_at_16_bits():
    rgb = RNG.integers(0, 65536, size=(6, 4, 3), dtype=np.uint16)
    rgb[0, 0] = (0xFFFF, 0xFFF1, 0xE8E8)  # pico-8 colour 7 (fff1e8), each byte doubled
    alpha = RNG.integers(0, 65536, size=(6, 4), dtype=np.uint16)
    result = convert_picture(Picture(rgb, alpha, 16), PALETTE, metric="rgb")
    assert result.bits == 16 and result.rgb.dtype == np.uint16 and np.array_equal(result.alpha, alpha)
    expected = palettra.convert(rgb, PALETTE * np.uint64(257))
    assert np.array_equal(result.rgb, expected)
    assert result.rgb[0, 0].tolist() == [0xFFFF, 0xF1F1, 0xE8E8]
    assert set(map(tuple, (result.rgb.reshape(-1, 3) // 257).tolist())) <= set(map(tuple, PALETTE.tolist()))


def test_changed_pixels_counts_pixels_not_channels():
    rgb = np.array([[[0, 0, 0], [1, 2, 3], [9, 9, 9]]], dtype=np.uint8)
    after = np.array([[[0, 0, 0], [1, 2, 4], [8, 8, 8]]], dtype=np.uint8)
    assert changed_pixels(Picture(rgb, None, 8), Picture(after, None, 8)) == 2


@pytest.mark.parametrize(
    "palette, message",
    [
        (np.zeros((0, 3)), "non-empty"),
        (np.zeros((2, 4)), r"shape \(2, 4\)"),
        (np.array([[0, 0, 256]]), "integers 0 to 255"),
        (np.array([[0.5, 0, 0]]), "integers 0 to 255"),
    ],
)
def test_palettes_must_be_8_bit_colours(palette, message):
    with pytest.raises(PaletteError, match=message):
        palette_for_depth(palette, 8)


def test_unknown_metric():
    with pytest.raises(ValueError, match="unknown metric 'hsv'"):
        map_colours(np.zeros((1, 1, 3), np.uint8), PALETTE, metric="hsv")
