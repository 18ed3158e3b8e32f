"""NumPy integer images are read straight from memory; every result, failure
and side effect must match reading the same image through item access."""

import ctypes
import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import palettra

INTEGER_TYPES = [np.byte, np.ubyte, np.short, np.ushort, np.intc, np.uintc, np.int_, np.uint,
                 np.longlong, np.ulonglong]


class ItemImage:
    """The same pixels, reachable only through `shape` and item access."""

    def __init__(self, array):
        self.array = array
        self.shape = array.shape

    def __getitem__(self, key):
        return self.array[key]


class Failure:
    """An exception's type and arguments, without the traceback that would
    keep the image referenced."""

    def __init__(self, error):
        self.type = type(error)
        self.args = error.args


def outcome(image, palette):
    try:
        return palettra.convert(image, palette)
    except BaseException as error:  # PanicException derives from BaseException only
        return Failure(error)


def assert_same_as_item_access(image, palette, registry=None):
    references = sys.getrefcount(image)
    direct = outcome(image, palette)
    items = outcome(ItemImage(image), palette)
    assert sys.getrefcount(image) == references
    if registry is not None:
        assert registry.is_free(palette)
    if isinstance(items, Failure):
        assert isinstance(direct, Failure)
        assert direct.type is items.type
        assert direct.args == items.args
    else:
        assert isinstance(direct, np.ndarray)
        assert direct.dtype == np.uint64 and direct.shape == items.shape
        assert direct.tolist() == items.tolist()
    return direct


def nearest_in_doubles(image, palette):
    """An independent oracle: the same arithmetic through NumPy."""
    pixels = image[:, :, :3].reshape(-1, 3).astype(np.float64)
    entries = palette[:, :3].astype(np.float64)
    d = [pixels[:, None, c] - entries[None, :, c] for c in range(3)]
    distances = (d[0] * d[0] + d[1] * d[1]) + d[2] * d[2]
    chosen = palette[np.argmin(distances, axis=1), :3]
    return chosen.reshape(image.shape[0], image.shape[1], 3)


def random_image(rng, dtype, shape, top):
    info = np.iinfo(dtype)
    return rng.integers(0, min(top, info.max), shape, dtype=dtype, endpoint=True)


@pytest.mark.parametrize("dtype", INTEGER_TYPES)
@pytest.mark.parametrize("top", [255, 2**25 + 2, 2**26, 2**53 + 8, 2**64 - 1])
def test_every_integer_type_and_range_matches_item_access(dtype, top):
    rng = np.random.default_rng(top % 1000 + np.dtype(dtype).num)
    image = random_image(rng, dtype, (7, 9, 3), top)
    limit = int(min(top, np.iinfo(dtype).max))
    palette = rng.integers(0, limit, (12, 3), dtype=np.uint64, endpoint=True)
    # Rows that tie with others, and rows at the image's own values.
    palette = np.concatenate([palette, palette[::-1], image[0, :4].astype(np.uint64)])
    result = assert_same_as_item_access(image, palette)
    assert np.array_equal(result, nearest_in_doubles(image, palette))


LAYOUTS = {
    "contiguous": lambda a: a,
    "reversed rows": lambda a: a[::-1],
    "reversed columns": lambda a: a[:, ::-1],
    "reversed channels": lambda a: a[:, :, ::-1],
    "every other row and column": lambda a: a[::2, 1::2],
    "every other channel": lambda a: a[:, :, ::2],
    "transposed": lambda a: a.transpose(1, 0, 2),
    "Fortran order": lambda a: np.asfortranarray(a),
    "broadcast row": lambda a: np.broadcast_to(a[:1], a.shape),
}


@pytest.mark.parametrize("layout", list(LAYOUTS))
@pytest.mark.parametrize("dtype", [np.uint8, np.int16, np.uint64])
def test_strides_of_any_sign_are_followed(layout, dtype, registry):
    rng = np.random.default_rng(3)
    base = random_image(rng, dtype, (10, 8, 7), 250)
    image = LAYOUTS[layout](base)
    palette = rng.integers(0, 256, (40, 4), dtype=np.uint64)
    result = assert_same_as_item_access(image, palette, registry)
    assert np.array_equal(result, nearest_in_doubles(image, palette))


@pytest.mark.parametrize("dtype", [np.uint16, np.int32, np.uint64])
def test_unaligned_images_are_read_in_place(dtype):
    itemsize = np.dtype(dtype).itemsize
    raw = bytearray(1 + 4 * 5 * 3 * itemsize)
    image = np.frombuffer(raw, dtype=dtype, offset=1).reshape(4, 5, 3)
    assert not image.flags.aligned
    image[...] = np.arange(60, dtype=dtype).reshape(4, 5, 3) * 3
    palette = np.array([[0, 0, 0], [60, 60, 60], [120, 121, 122], [180, 180, 180]], dtype=np.uint64)
    result = assert_same_as_item_access(image, palette)
    assert np.array_equal(result, nearest_in_doubles(image, palette))


@pytest.mark.parametrize("dtype", [np.int8, np.int16, np.int32, np.int64])
@pytest.mark.parametrize("columns", [3, 2])
@pytest.mark.parametrize("where", [(0, 0, 0), (0, 0, 2), (2, 3, 1), (4, 5, 2)])
def test_a_negative_value_fails_as_item_access_does(dtype, columns, where, registry):
    image = np.full((5, 6, 3), 7, dtype=dtype)
    image[where] = -1
    palette = np.arange(4 * columns, dtype=np.uint64).reshape(4, columns)
    failure = assert_same_as_item_access(image, palette, registry)
    assert isinstance(failure, Failure)
    if columns == 3 or where == (0, 0, 0) or where == (0, 0, 2):
        assert failure.type is OverflowError
    else:  # the first pixel converts, then the narrow palette fails
        assert failure.args == ("ndarray: index out of bounds",)


@pytest.mark.parametrize("rows, columns", [(0, 3), (0, 1), (3, 2), (3, 1), (3, 0)])
@pytest.mark.parametrize("shape", [(3, 4, 3), (0, 5, 3), (4, 0, 3)])
def test_empty_and_narrow_palettes(rows, columns, shape, registry):
    image = np.arange(np.prod(shape), dtype=np.uint8).reshape(shape)
    palette = np.ones((rows, columns), dtype=np.uint64)
    result = assert_same_as_item_access(image, palette, registry)
    if rows == 0 or 0 in shape:
        assert isinstance(result, np.ndarray) and not result.any()


@pytest.mark.parametrize("channels", [0, 1, 2])
def test_too_few_channels_fail_as_item_access_does(channels):
    image = np.zeros((2, 2, channels), dtype=np.uint8)
    failure = assert_same_as_item_access(image, np.zeros((2, 3), dtype=np.uint64))
    assert failure.type is IndexError


@pytest.mark.parametrize(
    "image",
    [
        np.ones((2, 3, 3), dtype=np.bool_),
        np.full((2, 3, 3), 4.0),
        np.full((2, 3, 3), 4, dtype=np.float16),
        np.full((2, 3, 3), 300, dtype=">u2"),
        np.full((2, 3, 3), 300, dtype="<i8").astype(">i8"),
        np.full((2, 3, 3), 5, dtype=object),
        np.zeros((2, 3, 3), dtype=[("r", "u1"), ("g", "u1"), ("b", "u1")])[:, :, None].repeat(3, 2),
    ],
    ids=["bool", "float64", "float16", "big-endian uint16", "big-endian int64", "object", "structured"],
)
def test_other_element_types_behave_as_through_item_access(image):
    palette = np.array([[0, 0, 0], [4, 4, 4], [300, 300, 300]], dtype=np.uint64)
    assert_same_as_item_access(image, palette)


def test_array_subclasses_keep_their_own_item_access():
    class Doubled(np.ndarray):
        def __getitem__(self, key):
            return 2 * np.asarray(self)[key]

    image = np.full((2, 2, 3), 10, dtype=np.uint8).view(Doubled)
    palette = np.array([[10, 10, 10], [20, 20, 20]], dtype=np.uint64)
    assert palettra.convert(image, palette).tolist() == [[[20, 20, 20]] * 2] * 2


@pytest.mark.parametrize("dtype", INTEGER_TYPES + [np.bool_, np.float64, ">u4", "<u4"])
def test_descriptor_fields_sit_where_the_module_reads_them(dtype):
    descr = np.dtype(dtype)
    raw = ctypes.string_at(id(descr), 32)
    assert chr(raw[24]) == descr.kind
    assert chr(raw[26]) == descr.byteorder
    assert int.from_bytes(raw[28:32], sys.byteorder, signed=True) == descr.num


def test_large_palettes_search_every_candidate():
    rng = np.random.default_rng(11)
    image = random_image(rng, np.uint8, (64, 64, 3), 255)
    for rows in (300, 1000):
        palette = rng.integers(0, 256, (rows, 3), dtype=np.uint64)
        palette[rows // 2 :] = palette[: rows - rows // 2]  # many exact ties
        result = palettra.convert(image, palette)
        assert np.array_equal(result, nearest_in_doubles(image, palette))


def test_palette_values_beyond_the_image_range():
    # Pixels of 8 bits against rows far outside them, on both sides of the
    # range where integer distances are exact.
    rng = np.random.default_rng(5)
    image = random_image(rng, np.uint8, (16, 16, 3), 255)
    for top in (2**25 - 1, 2**25, 2**40):
        palette = rng.integers(0, 256, (20, 3), dtype=np.uint64)
        palette[::4] = top - palette[::4]
        result = assert_same_as_item_access(image, palette)
        assert np.array_equal(result, nearest_in_doubles(image, palette))


SCALES = [0, 2**8, 2**16, 2**25, 2**26, 2**53, 2**63, 2**64]


def values_near_scales(top):
    near = st.sampled_from([scale for scale in SCALES if scale <= top]).flatmap(
        lambda scale: st.integers(max(0, scale - 4), min(top, scale + 4))
    )
    return st.one_of(near, st.integers(0, top))


@st.composite
def images_and_palettes(draw):
    dtype = np.dtype(draw(st.sampled_from(INTEGER_TYPES)))
    top = int(np.iinfo(dtype).max)
    h, w = draw(st.integers(0, 5)), draw(st.integers(0, 5))
    values = draw(st.lists(values_near_scales(top), min_size=h * w * 3, max_size=h * w * 3))
    image = np.array(values, dtype=dtype).reshape(h, w, 3)
    if dtype.kind == "i" and h * w and draw(st.booleans()):
        image[draw(st.integers(0, h - 1)), draw(st.integers(0, w - 1)), draw(st.integers(0, 2))] = -draw(
            st.integers(1, 100)
        )
    if draw(st.booleans()):
        image = image[::-1, ::-1]
    rows = draw(st.integers(0, 8))
    entries = draw(st.lists(values_near_scales(2**64 - 1), min_size=rows * 3, max_size=rows * 3))
    palette = np.array(entries, dtype=np.uint64).reshape(rows, 3)
    if rows and draw(st.booleans()):
        palette = np.concatenate([palette, palette])
    return image, palette


@settings(max_examples=300, deadline=None)
@given(images_and_palettes())
def test_random_images_match_item_access(case):
    image, palette = case
    result = assert_same_as_item_access(image, palette)
    if isinstance(result, np.ndarray) and len(palette):
        assert np.array_equal(result, nearest_in_doubles(image, palette))
