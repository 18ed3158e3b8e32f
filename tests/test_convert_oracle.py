"""convert against the NumPy reference on random images, palettes and layouts."""

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from hypothesis.extra import numpy as hnp

import palettra
from support.oracle import nearest_colours

IMAGE_DTYPES = {
    np.uint8: 2**8 - 1,
    np.uint16: 2**16 - 1,
    np.int32: 2**31 - 1,  # non-negative values only
    np.uint64: 2**64 - 1,
}


def values(top):
    """Integers up to `top`, often at the edges so that ties and roundings occur."""
    edges = st.sampled_from(sorted({0, 1, 2, top // 2, top - 1, top}))
    near_top = st.integers(max(0, top - 4096), top)
    return st.one_of(edges, near_top, st.integers(0, top))


def image_layouts(array):
    """The same kind of pixels under several stride patterns."""
    return {
        "contiguous": array,
        "reversed": array[::-1, ::-1],
        "transposed": array.transpose(1, 0, 2),
        "stepped": array[::2, :, ::-1],
        "fortran": np.asfortranarray(array),
    }


def palette_layouts(array):
    return {
        "contiguous": array,
        "reversed rows": array[::-1],
        "transposed": np.ascontiguousarray(array.T).T,
        "reversed columns": array[:, ::-1],
        "every other row": array[::2],
        "offset columns": array[:, 1:],
    }


@st.composite
def cases(draw):
    dtype, top = draw(st.sampled_from(list(IMAGE_DTYPES.items())))
    shape = (draw(st.integers(1, 5)), draw(st.integers(1, 5)), draw(st.integers(3, 5)))
    image = draw(hnp.arrays(dtype, shape, elements=values(top)))
    palette_shape = (draw(st.integers(0, 8)), draw(st.integers(4, 6)))
    # Palette entries near the image's values, with a share of the full range.
    palette = draw(
        hnp.arrays(np.uint64, palette_shape, elements=st.one_of(values(top), values(2**64 - 1)))
    )
    image = image_layouts(image)[draw(st.sampled_from(sorted(image_layouts(image))))]
    palette = palette_layouts(palette)[draw(st.sampled_from(sorted(palette_layouts(palette))))]
    return image, palette


@settings(max_examples=150, deadline=None)
@given(cases())
def test_matches_the_reference(case):
    image, palette = case
    result = palettra.convert(image, palette)
    assert result.dtype == np.uint64
    assert np.array_equal(result, nearest_colours(image, palette))


@pytest.mark.parametrize(
    "dtype, low, high",
    [
        (np.uint8, 0, 2**8 - 1),
        (np.uint16, 0, 2**16 - 1),
        (np.int32, 0, 2**31 - 1),
        (np.uint64, 0, 2**64 - 1),
        (np.uint64, 2**64 - 2**20, 2**64 - 1),
        (np.uint64, 2**53 - 2**10, 2**53 + 2**10),
    ],
)
def test_larger_random_images(dtype, low, high):
    rng = np.random.default_rng(high - low)
    image = rng.integers(low, high, (37, 23, 4), dtype=dtype, endpoint=True)
    palette = rng.integers(low, high, (29, 3), dtype=np.uint64, endpoint=True)
    palette[5] = palette[0]  # a duplicate row
    palette[7:10] = image[3, 4:7, :3]  # exact matches
    result = palettra.convert(image, palette)
    assert np.array_equal(result, nearest_colours(image, palette))


def test_reference_catches_a_wrong_tie_break():
    # The reference itself must tell the first of equal rows from the last.
    palette = np.array([[0, 0, 0], [2, 0, 0]], np.uint64)
    image = np.array([[[1, 0, 0]]], np.uint8)
    assert nearest_colours(image, palette).tolist() == [[[0, 0, 0]]]
    assert nearest_colours(image, palette[::-1]).tolist() == [[[2, 0, 0]]]
