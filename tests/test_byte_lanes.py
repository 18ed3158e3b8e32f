"""Byte pixels compared with a few byte colours many at once: the same first
nearest colour as the plain double-precision scan, on every kernel the
processor runs and through convert and index maps, ties and repeated colours
included."""

import numpy as np
import pytest

import palettra
from palettra_tools import indices
from support.oracle import nearest_colours

rng = np.random.default_rng(23)


def first_nearest(pixels, colours):
    difference = pixels[:, None, :].astype(np.int64) - colours[None, :, :].astype(np.int64)
    return np.argmin((difference * difference).sum(axis=-1), axis=1)


def tie_prone(shape):
    # Few values, so that many pixels lie as far from two colours.
    return rng.choice(np.array([0, 1, 2, 127, 128, 254, 255], np.uint8), shape)


@pytest.mark.parametrize("count", [1, 7, 16, 31, 32, 33, 250])
@pytest.mark.parametrize(
    "colours",
    [
        np.array([[255, 255, 255]], np.uint8),
        np.array([[0, 0, 0], [255, 255, 255], [0, 0, 0], [2, 2, 2]], np.uint8),
        tie_prone((13, 3)),
        rng.integers(0, 256, (95, 3), dtype=np.uint8),
        rng.integers(0, 256, (4096, 3), dtype=np.uint8),
    ],
    ids=["one", "repeated", "tie-prone", "95", "4096"],
)
def test_every_kernel_gives_the_first_nearest_colour(testing, count, colours):
    for pixels in (tie_prone((count, 3)), rng.integers(0, 256, (count, 3), dtype=np.uint8)):
        expected = first_nearest(pixels, colours)
        for kernel in testing.lane_kernels():
            places = np.frombuffer(testing.lane_nearest(kernel, pixels.tobytes(), colours.tobytes()), np.uint16)
            assert np.array_equal(places, expected), kernel


def noise_with_flat_band(height, width):
    image = rng.integers(0, 256, (height, width, 3), dtype=np.uint8)
    # Flat stretches switch the search back to its grid, noise forward again.
    image[height // 3 : height // 2] = image[height // 3, 0]
    return image


@pytest.mark.parametrize("rows", [1, 3, 16, 31, 72])
@pytest.mark.parametrize("ties", [False, True])
def test_convert_and_indices_match_the_plain_scan(rows, ties):
    palette = (tie_prone((rows, 3)) if ties else rng.integers(0, 256, (rows, 3), dtype=np.uint8)).astype(np.uint64)
    palette = np.concatenate([palette, palette[: rows // 2]])
    image = noise_with_flat_band(96, 300)
    if ties:
        image = tie_prone(image.shape)
    views = [image, image[::-1, ::2], image[..., ::-1].copy()[..., ::-1], image.astype(np.uint16)]
    for view in views:
        expected = nearest_colours(view, palette)
        assert np.array_equal(palettra.convert(view, palette), expected)
        bits = {"palette_bits": 16} if view.dtype == np.uint16 else {}
        assert np.array_equal(palette[indices(view, palette, threads=1, **bits)], expected)
