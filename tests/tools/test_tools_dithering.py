"""Index maps and dithering against a plain reference written from docs/dithering.md."""

import contextlib
import importlib.util
import io
import re
import sys
from decimal import Decimal, localcontext
from pathlib import Path
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from PIL import Image

import palettra
from palettra_tools import (
    METHODS,
    PALETTES,
    ImageError,
    PaletteError,
    convert_picture,
    dither,
    indices,
    lab_coordinates,
    make_palette,
    map_colours,
    quantize,
    read_image,
    write_image,
)
from palettra_tools import _engine
from palettra_tools.dithering import ERROR_DIFFUSION, blue_noise_mask
from palettra_tools.light import linear_table

RNG = np.random.default_rng(13)
SCRIPTS = Path(__file__).resolve().parents[2] / "scripts"

# ------------------------------------------------------------ the reference

KERNELS = {
    "floyd-steinberg": (16, {(0, 1): 7, (1, -1): 3, (1, 0): 5, (1, 1): 1}),
    "false-floyd-steinberg": (8, {(0, 1): 3, (1, 0): 3, (1, 1): 2}),
    "jarvis-judice-ninke": (48, {(0, 1): 7, (0, 2): 5, (1, -2): 3, (1, -1): 5, (1, 0): 7, (1, 1): 5, (1, 2): 3,
                                 (2, -2): 1, (2, -1): 3, (2, 0): 5, (2, 1): 3, (2, 2): 1}),
    "stucki": (42, {(0, 1): 8, (0, 2): 4, (1, -2): 2, (1, -1): 4, (1, 0): 8, (1, 1): 4, (1, 2): 2,
                    (2, -2): 1, (2, -1): 2, (2, 0): 4, (2, 1): 2, (2, 2): 1}),
    "burkes": (32, {(0, 1): 8, (0, 2): 4, (1, -2): 2, (1, -1): 4, (1, 0): 8, (1, 1): 4, (1, 2): 2}),
    "sierra": (32, {(0, 1): 5, (0, 2): 3, (1, -2): 2, (1, -1): 4, (1, 0): 5, (1, 1): 4, (1, 2): 2,
                    (2, -1): 2, (2, 0): 3, (2, 1): 2}),
    "sierra-two-row": (16, {(0, 1): 4, (0, 2): 3, (1, -2): 1, (1, -1): 2, (1, 0): 3, (1, 1): 2, (1, 2): 1}),
    "sierra-lite": (4, {(0, 1): 2, (1, -1): 1, (1, 0): 1}),
    "atkinson": (8, {(0, 1): 1, (0, 2): 1, (1, -1): 1, (1, 0): 1, (1, 1): 1, (2, 0): 1}),
}  # fmt: skip


def nearest(value, palette, key=lambda value: value):
    distances = [sum((v - p) ** 2 for v, p in zip(key(value), key(row))) for row in palette]
    return distances.index(min(distances))


WHITE = 1 << 20


def linear_value(code, bits):
    """The code value's linear value, from the curve at 60 digits."""
    with localcontext() as context:
        context.prec = 60
        c = Decimal(code) / ((1 << bits) - 1)
        lin = c / Decimal("12.92") if c <= Decimal("0.04045") else ((c + Decimal("0.055")) / Decimal("1.055")) ** Decimal("2.4")
        return int((lin * WHITE + Decimal("0.5")).to_integral_value(rounding="ROUND_FLOOR"))


LAB_MATRIX = ((28439, 24656, 12441), (13938, 46868, 4730), (1164, 7174, 57198))


def linear_lab(value):
    def f(x):
        if 24389 * x > 216 << 36:
            n = x << 24
            root = round(n ** (1 / 3))
            root += ((root + 1) ** 3 <= n) - (root**3 > n)
            return root + (8 * n >= (2 * root + 1) ** 3)
        return (24389 * x + (432 << 36) + (1566 << 16)) // (3132 << 16)

    fx, fy, fz = (f(sum(m * v for m, v in zip(row, value))) for row in LAB_MATRIX)
    return max(0, (116 * fy - 16 * WHITE + 64) // 128), (500 * (fx - fy) + 64) // 128 + WHITE, (200 * (fy - fz) + 64) // 128 + WHITE


def bayer(size):
    if size == 1:
        return [[0]]
    half = bayer(size // 2)
    top = [[4 * v for v in row] + [4 * v + 2 for v in row] for row in half]
    bottom = [[4 * v + 3 for v in row] + [4 * v + 1 for v in row] for row in half]
    return top + bottom


def reference(image, palette, method, serpentine, strength, top, key=lambda value: value, margin=0):
    """Lists of integers in, list of rows of indices out; rows are nearest
    by the distance of key(value); diffused values are clamped to
    [-margin, top + margin]."""
    height, width = len(image), len(image[0])
    factor = round(strength * 4096)
    out = [[0] * width for _ in range(height)]
    if method == "none":
        return [[nearest(pixel, palette) for pixel in row] for row in image]
    if method.startswith("bayer") or method == "blue-noise":
        matrix = blue_noise_mask().tolist() if method == "blue-noise" else bayer(int(method[5:]))
        size = len(matrix)
        root = 0
        while (root + 1) ** 3 <= len(palette):
            root += 1
        if 8 * len(palette) >= (2 * root + 1) ** 3:
            root += 1
        steps = max(1, root - 1)
        spread = [(max(row[c] for row in palette) - min(row[c] for row in palette)) // steps for c in range(3)]
        for i in range(height):
            for j in range(width):
                m = matrix[i % size][j % size]
                offsets = [((2 * m + 1 - size * size) * spread[c] * factor) // (2 * size * size * 4096) for c in range(3)]
                adjusted = [min(max(image[i][j][c] + offsets[c], 0), top) for c in range(3)]
                out[i][j] = nearest(adjusted, palette, key)
        return out
    denominator, taps = KERNELS[method]
    accumulators = [[[0, 0, 0] for _ in range(width)] for _ in range(height)]
    for i in range(height):
        backwards = serpentine and i % 2 == 1
        for j in reversed(range(width)) if backwards else range(width):
            carried = accumulators[i][j]
            adjusted = [
                min(max(image[i][j][c] + (carried[c] + 2048 * denominator) // (4096 * denominator), -margin), top + margin)
                for c in range(3)
            ]
            k = nearest(adjusted, palette, key)
            out[i][j] = k
            for (dy, dx), weight in taps.items():
                y, x = i + dy, j + (-dx if backwards else dx)
                if y < height and 0 <= x < width:
                    for c in range(3):
                        accumulators[y][x][c] += weight * (adjusted[c] - palette[k][c]) * factor
    return out


def small_case(bits):
    """A noisy gradient that reaches both ends of the range, and a palette
    that does not, so clamping and large errors both happen."""
    top = (1 << bits) - 1
    ramp = np.linspace(0, top, 9)[None, :, None] * np.ones((7, 1, 3))
    noise = RNG.integers(-top // 5, top // 5, (7, 9, 3), endpoint=True)
    image = np.clip(ramp + noise, 0, top).astype(np.uint8 if bits == 8 else np.uint16)
    image[0, 0], image[-1, -1] = 0, top
    palette = RNG.integers(top // 10, top - top // 10, (6, 3), endpoint=True).astype(np.uint64)
    palette[1] = palette[4]  # equal rows: the first must win
    return image, palette


@pytest.mark.parametrize("bits", [8, 16])
@pytest.mark.parametrize("metric", ["rgb", "lab"])
@pytest.mark.parametrize("light", ["srgb", "linear"])
@pytest.mark.parametrize("serpentine, strength", [(False, 1.0), (True, 1.0), (False, 0.55), (True, 0.3)])
@pytest.mark.parametrize("method", METHODS)
def test_every_method_gives_the_reference_index_map(method, serpentine, strength, light, metric, bits, monkeypatch):
    # Small as it is, the image is shared out over threads too.
    monkeypatch.setattr("palettra_tools.threads.LEAST_BAND_PIXELS", 1)
    image, palette = small_case(bits)
    top, key, margin = (1 << bits) - 1, lambda value: value, 0
    values, rows = image.astype(np.int64).tolist(), palette.astype(np.int64).tolist()
    if light == "linear" and method != "none":
        values = [[[linear_value(v, bits) for v in pixel] for pixel in row] for row in values]
        rows, top = [[linear_value(v, bits) for v in row] for row in rows], WHITE
        key = (lambda value: linear_lab([min(max(v, 0), WHITE) for v in value])) if metric == "lab" else key
        margin = 0 if method.startswith("bayer") or method == "blue-noise" else WHITE // 4
    elif metric == "lab":
        values, rows, top = lab_coordinates(image, bits).tolist(), lab_coordinates(palette, bits).tolist(), (1 << 21) - 1
    expected = reference(values, rows, method, serpentine, strength, top, key, margin)
    for count in (1, 3):
        result = dither(image, palette, method, serpentine=serpentine, strength=strength, metric=metric, light=light, threads=count)
        assert result.dtype == np.uint8 and result.tolist() == expected, f"{count} threads"


@pytest.mark.parametrize("bits", [8, 16])
def test_linear_light_follows_the_curve_and_its_lab_is_cielab(bits):
    codes = np.arange(1 << bits)
    sample = codes if bits == 8 else np.r_[codes[:64], codes[64::97], codes[-64:]]
    assert [linear_value(int(v), bits) for v in sample] == linear_table(bits)[sample].tolist()
    colours = RNG.integers(0, 1 << bits, (200, 3))
    colours[:2] = [[0, 0, 0], [(1 << bits) - 1] * 3]
    exact = np.array([linear_lab([linear_value(int(v), bits) for v in colour]) for colour in colours])
    # Within 0.01 of ΔE*ab of the floating-point coordinates of the Lab metric.
    assert np.abs(exact - lab_coordinates(colours, bits).astype(np.int64)).max() <= 82


def test_the_blue_noise_mask_is_what_its_rule_makes():
    location = importlib.util.spec_from_file_location("make_blue_noise", SCRIPTS / "make_blue_noise.py")
    script = importlib.util.module_from_spec(location)
    location.loader.exec_module(script)
    assert np.array_equal(script.blue_noise_mask(), blue_noise_mask())
    assert sorted(blue_noise_mask().ravel()) == list(range(64 * 64))
    # The pattern tiles the whole image from its first pixel.
    grey = dither(np.full((130, 70, 3), 90, np.uint8), PALETTES["bw"].colours, "blue-noise")
    assert np.array_equal(grey[64:128], grey[:64]) and np.array_equal(grey[:, 64:], grey[:, :6])


# ------------------------------------------------------------ properties

INTEGER_TYPES = ["u1", "i1", "u2", "i2", ">u2", "u4", "i4", "u8", "i8"]


@pytest.mark.parametrize("layout", ["contiguous", "strided", "reversed"])
@pytest.mark.parametrize("dtype", INTEGER_TYPES)
@pytest.mark.parametrize("colours", [1, 5, 300])
def test_indices_pick_the_rows_convert_picks(dtype, layout, colours):
    info = np.iinfo(np.dtype(dtype))
    high = min(info.max, 1 << 40)
    image = RNG.integers(0, high, (9, 8, 4), endpoint=True).astype(dtype)
    palette = RNG.integers(0, high, (colours, 4), endpoint=True).astype(np.uint64)
    palette[-1] = palette[0]
    if layout == "strided":
        image = image[::2, ::-1, [2, 0, 3, 1]]
    elif layout == "reversed":
        image, palette = image[::-1], palette[::-1]
    result = indices(image, palette)
    assert result.dtype == (np.uint8 if colours <= 256 else np.uint16)
    assert np.array_equal(palette[result][..., :3], palettra.convert(image, palette))


def plain_scan(image, palette):
    """The first row at the smallest (d0² + d1²) + d2², in doubles."""
    pixels = image[..., :3].reshape(-1, 3).astype(np.float64)
    rows = palette[:, :3].astype(np.float64)
    squares = [np.square(pixels[:, [c]] - rows[:, c]) for c in range(3)]
    return ((squares[0] + squares[1]) + squares[2]).argmin(axis=1).reshape(image.shape[:2])


@pytest.mark.parametrize("threads", [1, 2, 3, 7])
@pytest.mark.parametrize("layout", ["contiguous", "strided"])
@pytest.mark.parametrize("dtype, top", [(np.uint8, 255), (np.uint16, 65535)])
def test_narrow_images_with_ties_match_the_plain_scan_on_any_thread_count(dtype, top, layout, threads):
    # Pixels on even steps and rows on steps of four, some rows repeated:
    # many pixels lie exactly as far from two rows, and only the first may
    # win. Large enough for seven bands.
    step = (top + 1) // 64
    image = (RNG.integers(0, 32, (241, 480, 3)) * 2 * step).astype(dtype)
    palette = (RNG.integers(0, 16, (40, 3)) * 4 * step).astype(np.uint64)
    palette[[5, 17, 33]] = palette[[2, 9, 9]]
    if layout == "strided":
        image = image[::-1, ::2][:, :, [2, 0, 1]]
    expected = plain_scan(image, palette)
    assert np.array_equal(indices(image, palette, threads=threads), expected)
    ordered = dither(image, palette, "bayer4", threads=threads)
    assert np.array_equal(ordered, dither(image, palette, "bayer4", threads=1))


def test_values_beyond_double_precision_tie_as_convert_ties():
    image = np.full((1, 2, 3), 1 << 60, dtype=np.uint64)
    palette = np.array([[(1 << 60) + 1, 0, 0], [1 << 60, 0, 0]], np.uint64)
    palette[:, 1:] = 1 << 60
    assert indices(image, palette).tolist() == [[0, 0]]


@pytest.mark.parametrize("rows, dtype", [(256, np.uint8), (257, np.uint16), (65536, np.uint16), (65537, np.uint32)])
def test_the_index_type_fits_the_palette(rows, dtype):
    palette = np.zeros((rows, 3), np.uint64)
    palette[-1] = 255
    image = np.full((2, 3, 3), 255, np.uint8)
    result = indices(image, palette)
    assert result.dtype == dtype and (result == rows - 1).all()


@pytest.mark.parametrize("bits", [8, 16])
def test_lab_indices_pick_the_colours_the_lab_mapping_picks(bits):
    image, palette = small_case(bits)
    chosen = indices(image, palette, metric="lab")
    assert np.array_equal(palette[chosen], map_colours(image, palette, metric="lab", bits=bits))


@pytest.mark.parametrize("light", ["srgb", "linear"])
@pytest.mark.parametrize("metric", ["rgb", "lab"])
@pytest.mark.parametrize("method", METHODS)
def test_palette_colours_stay_and_strength_zero_is_indices(method, metric, light):
    palette = PALETTES["pico-8"].colours * np.uint64(257)
    image = palette[RNG.integers(0, len(palette), (17, 19))].astype(np.uint16)
    if method in ERROR_DIFFUSION:
        assert np.array_equal(palette[dither(image, palette, method, metric=metric, light=light)], image)
    noisy = RNG.integers(0, 1 << 16, (17, 19, 3)).astype(np.uint16)
    undithered = dither(noisy, palette, method, strength=0, metric=metric, light=light)
    if light == "srgb" or method == "none":
        assert np.array_equal(undithered, indices(noisy, palette, metric=metric))
    elif metric == "rgb":
        table = linear_table(16)
        assert np.array_equal(undithered, indices(table[noisy], table[palette]))


def test_the_same_input_gives_the_same_bits_and_dithering_changes_them():
    image = np.repeat(np.linspace(0, 255, 64).astype(np.uint8)[None, :, None], 3, axis=2).repeat(8, axis=0)
    palette = PALETTES["bw"].colours
    runs = [dither(image, palette, "floyd-steinberg", light="srgb") for _ in range(3)]
    assert all(np.array_equal(runs[0], run) for run in runs)
    # A grey ramp on black and white: the share of white follows the grey.
    white = runs[0].mean(axis=0)
    assert abs(white.mean() - 0.5) < 0.02 and white[:8].mean() < 0.1 and white[-8:].mean() > 0.9


@pytest.mark.parametrize("bits", [8, 16])
@pytest.mark.parametrize("method", sorted(set(ERROR_DIFFUSION) - {"atkinson"}))
def test_flat_greys_keep_their_light(method, bits):
    # Atkinson drops a quarter of every error, and so the light of greys.
    top = (1 << bits) - 1
    palette = PALETTES["bw"].colours * np.uint64(top // 255)
    for grey in (top // 8, top // 2, top - top // 5):
        image = np.full((64, 64, 3), grey, np.uint8 if bits == 8 else np.uint16)
        white = dither(image, palette, method, light="linear").mean()
        assert abs(white - linear_table(bits)[grey] / WHITE) < 0.02


GOOD = np.zeros((2, 2, 3), np.uint8)
ACCEPTED = re.escape("a Picture, an (h, w, 3) or (h, w, 4) integer array, or a PIL.Image.Image")


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: indices(GOOD.astype(float), PALETTES["bw"].colours), TypeError, "integers"),
        (lambda: indices(GOOD[..., 0], PALETTES["bw"].colours), ValueError, r"\(h, w, 3\) or \(h, w, 4\) array, got shape \(2, 2\); a grey"),
        (lambda: indices(GOOD[..., :2], PALETTES["bw"].colours), ValueError, r"got shape \(2, 2, 2\)$"),
        (lambda: indices(np.zeros((3, 8, 9), np.uint8), PALETTES["bw"].colours), ValueError, r"channels-first \(c, h, w\)"),
        (lambda: indices(GOOD.tolist(), PALETTES["bw"].colours), TypeError, ACCEPTED + ", not list"),
        (lambda: dither(Image.new("F", (2, 2)), PALETTES["bw"].colours), ImageError, "floating-point"),
        (lambda: make_palette(GOOD[..., 0], 4), ValueError, r"\(h, w, 3\) or \(h, w, 4\) array, got shape \(2, 2\); a grey"),
        (lambda: make_palette(np.zeros((4, 8, 9), np.uint8), 4), ValueError, "channels-first"),
        (lambda: make_palette(42, 4), TypeError, "an image or a list of images, not int"),
        (lambda: make_palette([GOOD, "x.png"], 4), TypeError, ACCEPTED + ", not str"),
        (lambda: convert_picture(GOOD.astype(np.int32), PALETTES["bw"].colours), TypeError, "uint8 or uint16 values, not int32"),
        (lambda: convert_picture(b"\x89PNG", PALETTES["bw"].colours), TypeError, ACCEPTED + ", not bytes"),
        (lambda: write_image(io.BytesIO(), GOOD.tolist(), format="png"), TypeError, ACCEPTED + ", not list"),
        (lambda: write_image(42, GOOD), TypeError, "a path or a binary file object, not int"),
        (lambda: write_image(io.BytesIO(), GOOD), ImageError, "no name to choose the format by: give format="),
        (lambda: write_image(io.BytesIO(), GOOD, format="jpg"), ImageError, "format 'jpg': JPEG is lossy"),
        (lambda: read_image(42), TypeError, "a path or a binary file object, not int"),
        (lambda: read_image(io.StringIO("GIF89a")), TypeError, "gives text"),
        (lambda: quantize(GOOD), ValueError, "give a palette, or colours=N"),
        (lambda: quantize(GOOD, PALETTES["bw"].colours, colours=4), ValueError, "not both"),
        (lambda: quantize(GOOD, np.zeros((300, 3), np.uint8)), ValueError, "at most 256 colours and this palette has 300: palettra_tools.indices"),
        (lambda: quantize(np.zeros((2, 2, 4), np.uint8), PALETTES["web-safe"].colours[:1].repeat(256, 0)), ValueError, "needs 257"),
        (lambda: quantize(GOOD, "pico8"), PaletteError, "did you mean pico-8"),
        (lambda: indices(GOOD.astype(np.int8) - 1, PALETTES["bw"].colours), ValueError, "negative"),
        (lambda: indices(GOOD, np.zeros((0, 3), np.uint64)), ValueError, "no colours"),
        (lambda: indices(GOOD, np.zeros((2, 2), np.uint64)), ValueError, "m >= 3"),
        (lambda: indices(GOOD, np.array([[-1, 0, 0]])), ValueError, "negative"),
        (lambda: indices(GOOD, PALETTES["bw"].colours, metric="xyz"), ValueError, "metric"),
        (lambda: indices(GOOD.astype(np.uint32), PALETTES["bw"].colours, metric="lab"), TypeError, "uint8 or uint16"),
        (lambda: dither(GOOD, PALETTES["bw"].colours, "white-noise"), ValueError, "unknown dithering method"),
        (lambda: dither(GOOD, PALETTES["bw"].colours, light="dim"), ValueError, "unknown light"),
        (lambda: dither(GOOD, PALETTES["bw"].colours, strength=1.5), ValueError, "0 to 1"),
        (lambda: dither(GOOD, PALETTES["bw"].colours, strength="1"), TypeError, "number"),
        (lambda: dither(GOOD.astype(np.int16), PALETTES["bw"].colours), TypeError, "uint8 or uint16"),
        (lambda: dither(GOOD, np.array([[256, 0, 0]])), ValueError, "0 to 255"),
        (lambda: indices(GOOD, PALETTES["bw"].colours, threads=0), ValueError, "at least 1"),
        (lambda: dither(GOOD, PALETTES["bw"].colours, "bayer2", threads=1.5), TypeError, "int or None"),
    ],
)
def test_every_mistake_in_the_python_api_is_a_clear_error(call, error, message):
    with pytest.raises(error, match=message):
        call()


@pytest.mark.parametrize("shape", [(0, 4, 3), (3, 0, 3)])
def test_empty_images_need_no_palette_row(shape):
    empty = np.zeros((0, 3), np.uint64)
    assert indices(np.zeros(shape, np.uint8), empty).shape == shape[:2]
    assert dither(np.zeros(shape, np.uint8), empty).shape == shape[:2]


# ------------------------------------------------------------ the engine's own guards

PALETTE = np.array([[0, 0, 0], [255, 255, 255]], np.uint64)
OUT = np.zeros((2, 2), np.uint8)
OFFSETS = np.zeros((2, 2, 3), np.int64)
TABLE = np.arange(256, dtype=np.uint32)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: _engine.nearest_indices(GOOD, PALETTE), TypeError, "missing"),
        (lambda: _engine.nearest_indices(GOOD, PALETTE, OUT[:1]), TypeError, "'out'"),
        (lambda: _engine.nearest_indices(GOOD, PALETTE, OUT.astype(np.int8)), TypeError, "'out'"),
        (lambda: _engine.nearest_indices(GOOD, np.zeros((300, 3), np.uint64), OUT), TypeError, "wide enough"),
        (lambda: _engine.nearest_indices(GOOD, PALETTE, np.zeros((2, 2), np.uint8)[:, ::-1]), ValueError, "contiguous"),
        (lambda: _engine.nearest_indices(GOOD, PALETTE.astype(np.int64), OUT), TypeError, "'palette'"),
        (lambda: _engine.nearest_indices(GOOD.astype(np.float32), PALETTE, OUT), TypeError, "'img'"),
        (lambda: _engine.nearest_indices(b"abc", PALETTE, OUT), TypeError, "'img'"),
        (lambda: _engine.nearest_indices(GOOD, PALETTE[:, :2].copy(), OUT), ValueError, "3 columns"),
        (lambda: _engine.diffuse(GOOD, PALETTE, OUT, "nope", False, 4096, 255, False, None, 0, 1), ValueError, "unknown"),
        (lambda: _engine.diffuse(GOOD, PALETTE, OUT, 7, False, 4096, 255, False, None, 0, 1), TypeError, "'method'"),
        (lambda: _engine.diffuse(GOOD, PALETTE, OUT, "atkinson", False, 4097, 255, False, None, 0, 1), ValueError, "'strength'"),
        (lambda: _engine.diffuse(GOOD, PALETTE, OUT, "atkinson", False, -1, 255, False, None, 0, 1), OverflowError, "negative"),
        (lambda: _engine.diffuse(GOOD, PALETTE, OUT, "atkinson", False, 4096, 1 << 32, False, None, 0, 1), ValueError, "'top'"),
        (lambda: _engine.diffuse(GOOD, PALETTE, OUT, "atkinson", False, 4096, 254, False, None, 0, 1), ValueError, "0 to 254"),
        (lambda: _engine.diffuse(GOOD.astype(np.int8), PALETTE, OUT, "atkinson", False, 4096, 255, False, None, 0, 1), TypeError, "unsigned"),
        (lambda: _engine.diffuse(GOOD, PALETTE, OUT, "atkinson", False, 4096, 255, True, None, 0, 1), ValueError, "linear white"),
        (lambda: _engine.diffuse(GOOD, PALETTE, OUT, "atkinson", False, 4096, 255, False, None, 256, 1), ValueError, "'margin'"),
        (lambda: _engine.diffuse(GOOD, PALETTE, OUT, "atkinson", False, 4096, 255, False, None, 0, 0), ValueError, "'threads' must be at least 1"),
        (lambda: _engine.order(GOOD, PALETTE, OUT, OFFSETS, 0, 0, (1 << 20) + 1, True, None), ValueError, "linear white"),
        (lambda: _engine.order(GOOD, PALETTE, OUT, OFFSETS, 0, 0, 255, False, TABLE.astype(np.int32)), TypeError, "uint32"),
        (lambda: _engine.order(GOOD, PALETTE, OUT, OFFSETS, 0, 0, 255, False, TABLE[:-1]), ValueError, "one entry for each"),
        (lambda: _engine.order(GOOD.astype(np.uint32), PALETTE, OUT, OFFSETS, 0, 0, 255, False, TABLE), ValueError, "8- or 16-bit"),
        (lambda: _engine.diffuse(GOOD, PALETTE, OUT, "atkinson", False, 4096, 255, False, TABLE + 1, 0, 1), ValueError, "'transfer' values"),
        (lambda: _engine.order(GOOD, PALETTE, OUT, OFFSETS[:1], 0, 0, 255, False, None), TypeError, "'offsets'"),
        (lambda: _engine.order(GOOD, PALETTE, OUT, OFFSETS.astype(np.int32), 0, 0, 255, False, None), TypeError, "'offsets'"),
        (lambda: _engine.order(GOOD, PALETTE, OUT, OFFSETS + (1 << 41), 0, 0, 255, False, None), ValueError, "2\\*\\*40"),
        (lambda: _engine.order(GOOD, PALETTE, OUT, OFFSETS, -1, 0, 255, False, None), OverflowError, "negative"),
    ],
)
def test_the_engine_refuses_what_it_cannot_use(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_the_engine_writes_only_into_writeable_maps():
    frozen = OUT.copy()
    frozen.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        _engine.nearest_indices(GOOD, PALETTE, frozen)
    assert (frozen == 0).all()


ENGINE_CALLS = {
    "nearest_indices": lambda img, palette, out: _engine.nearest_indices(img, palette, out),
    "diffuse": lambda img, palette, out: _engine.diffuse(img, palette, out, "atkinson", True, 4096, 7, False, None, 0, 1),
    "order": lambda img, palette, out: _engine.order(img, palette, out, np.zeros((2, 2, 3), np.int64), 0, 0, 7, False, None),
}


def shared_memory():
    """One block of memory holding a 32×32 image of 16-bit values 0 to 7, a
    gap the size of its index map, then a palette of all 512 such colours;
    the block as 16-bit words, the image read backwards, and the palette."""
    colours = np.random.default_rng(3).permutation(np.stack(np.meshgrid(*[range(8)] * 3), -1).reshape(-1, 3))
    memory = np.zeros(32 * 32 * 4 // 4 + colours.size, np.uint64)
    memory[-colours.size :] = colours.ravel()
    image = memory.view(np.uint16)[: 32 * 32 * 3].reshape(32, 32, 3)
    image[:] = np.random.default_rng(4).integers(0, 8, image.shape)
    return memory.view(np.uint16), image[::-1, ::-1], memory[-colours.size :].reshape(-1, 3)


@pytest.mark.parametrize("function", sorted(ENGINE_CALLS))
@pytest.mark.parametrize("where", ["img", "palette", "beside"])
def test_the_map_never_shares_memory_with_what_the_engine_reads(function, where):
    # Indices written over the image were once read back as pixels beyond
    # the values the search was built for.
    words, image, palette = shared_memory()
    start = {"img": 0, "beside": image.size, "palette": words.size - image.size // 3}[where]
    out = words[start : start + image.size // 3].reshape(32, 32)
    if where != "beside":
        with pytest.raises(ValueError, match=f"'out' must not share memory with '{where}'"):
            ENGINE_CALLS[function](image, palette, out)
        return
    separate = np.zeros_like(out)
    ENGINE_CALLS[function](image.copy(), palette.copy(), separate)
    ENGINE_CALLS[function](image, palette, out)
    assert (out == separate).all()


def test_threads_dithering_at_once_get_what_one_thread_gets():
    images = [RNG.integers(0, 256, (40, 50, 3), dtype=np.uint8) for _ in range(6)]
    palette = PALETTES["pico-8"].colours
    jobs = [(image, method) for image in images for method in ("none", "floyd-steinberg", "bayer8")]
    alone = [dither(image, palette, method) for image, method in jobs]
    with ThreadPoolExecutor(4) as pool:
        together = list(pool.map(lambda job: dither(job[0], palette, job[1]), jobs))
    assert all(np.array_equal(a, b) for a, b in zip(alone, together))


def test_other_threads_run_python_while_the_engine_works():
    # Rows land in the index map as they are done; a thread that sees the
    # map half written ran Python while the engine's call was under way.
    image = RNG.integers(0, 256, (1024, 1024, 3), dtype=np.uint8)
    seen_partly_written = False
    for _ in range(5):
        out = np.full(image.shape[:2], 255, np.uint8)
        worker = threading.Thread(target=_engine.diffuse, args=(image, PALETTE, out, "sierra", False, 4096, 255, False, None, 0, 2))
        worker.start()
        while worker.is_alive() and not seen_partly_written:
            written = np.count_nonzero(out[:, 0] != 255)
            seen_partly_written = 0 < written < len(out)
        worker.join()
        assert set(np.unique(out)) <= {0, 1}
        if seen_partly_written:
            break
    assert seen_partly_written


def test_a_palette_written_to_during_the_call_is_read_within_its_range():
    # Another thread writes a value far past `top` into the palette's last
    # row while diffusion copies the palette without the interpreter lock;
    # errors from that value overflowed 64 bits, which the sanitized run
    # reports. Every call gives the map of a palette the check let through,
    # or refuses the palette.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    palette = np.full((100_000, 3), 255, np.uint64)
    palette[-1] = 0
    image = np.zeros((1, 1, 3), np.uint8)
    out = np.zeros((1, 1), np.uint32)
    running = [True]

    def write():
        while running[0]:
            palette[-1, 0] = 1 << 63
            palette[-1, 0] = 0

    writer = threading.Thread(target=write)
    writer.start()
    deadline = time.monotonic() + 2
    try:
        while time.monotonic() < deadline:
            with contextlib.suppress(ValueError):
                _engine.diffuse(image, palette, out, "floyd-steinberg", False, 4096, 255, False, None, 0, 1)
                assert out[0, 0] in (0, len(palette) - 1)
    finally:
        running[0] = False
        writer.join()
        sys.setswitchinterval(interval)


@pytest.mark.parametrize("dtype, palette_bits, scale, message", [
    (np.uint16, None, None, "palette_bits=8 to scale it to the image"),
    (np.uint16, 8, 257, None),
    (np.uint16, 16, 1, None),
    (np.uint8, 8, 1, None),
    (np.uint8, 16, None, "a 16-bit palette is for uint16 images"),
    (np.uint16, 12, None, "palette_bits must be 8, 16 or None"),
])  # fmt: skip
@pytest.mark.parametrize("method", ["none", "floyd-steinberg"])
def test_an_8_bit_palette_for_a_16_bit_image_is_scaled_or_refused(dtype, palette_bits, scale, message, method):
    image = RNG.integers(0, np.iinfo(dtype).max + 1, size=(5, 7, 3), dtype=dtype)
    palette = PALETTES["pico-8"].colours
    if message is not None:
        with pytest.raises(ValueError, match=message):
            dither(image, palette, method, palette_bits=palette_bits)
        with pytest.raises(ValueError, match=message):
            indices(image, palette, palette_bits=palette_bits)
        return
    chosen = dither(image, palette, method, light="srgb", palette_bits=palette_bits)
    scaled = (palette * np.uint64(scale)).astype(np.int64).tolist()
    assert chosen.tolist() == reference(image.astype(np.int64).tolist(), scaled, method, False, 1.0, np.iinfo(dtype).max)
    if method == "none":
        assert np.array_equal(indices(image, palette, palette_bits=palette_bits), chosen)
