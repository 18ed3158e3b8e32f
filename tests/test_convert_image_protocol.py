"""convert on images written in Python: what it reads, in which order, and when."""

import sys

import numpy as np
import pytest

import palettra
from support.failures import convert_failure

PALETTE = [[0, 0, 0], [255, 255, 255], [255, 0, 0]]


class Recording:
    """An image that serves `pixels` and logs every attribute and item access."""

    def __init__(self, pixels, shape=None, on_read=None):
        self.pixels = pixels
        self._shape = shape if shape is not None else (len(pixels), len(pixels[0]), 3)
        self.on_read = on_read
        self.log = []

    @property
    def shape(self):
        self.log.append("shape")
        return self._shape

    def __getitem__(self, key):
        self.log.append(key)
        assert type(key) is tuple and all(type(part) is int for part in key)
        if self.on_read is not None:
            self.on_read(self, key)
        i, j, k = key
        return self.pixels[i][j][k]


def reads(height, width):
    return [(i, j, k) for i in range(height) for j in range(width) for k in range(3)]


def palette(rows=PALETTE):
    return np.array(rows, np.uint64)


def test_shape_first_then_channels_row_by_row():
    pixels = [[(200, 30, 30), (250, 250, 240)], [(1, 2, 3), (255, 0, 1)]]
    image = Recording(pixels)
    result = palettra.convert(image, palette())
    assert image.log == ["shape", *reads(2, 2)]
    assert result.tolist() == [[[255, 0, 0], [255, 255, 255]], [[0, 0, 0], [255, 0, 0]]]


class ShapeTuple(tuple):
    pass


@pytest.mark.parametrize(
    "shape", [(1, 2, 3), ShapeTuple((1, 2, 3)), (1, 2, 0), (1, 2, 1), (1, 2, 2**64 - 1),
              (np.int64(1), np.uint8(2), True)],
)
def test_channel_count_does_not_limit_the_reads(shape):
    image = Recording([[(9, 9, 9), (250, 1, 1)]], shape=shape)
    assert palettra.convert(image, palette()).tolist() == [[[0, 0, 0], [255, 0, 0]]]
    assert image.log == ["shape", *reads(1, 2)]


@pytest.mark.parametrize("shape", [(0, 5, 3), (5, 0, 3), (0, 0, 0)])
def test_empty_image_reads_only_its_shape(shape):
    image = Recording([], shape=shape)
    result = palettra.convert(image, np.ones((2, 1), np.uint64))
    assert image.log == ["shape"]
    assert result.shape == (*shape[:2], 3)


def test_empty_palette_still_reads_every_value():
    image = Recording([[(1, 2, 3), (4, 5, 6)]])
    result = palettra.convert(image, np.zeros((0, 3), np.uint64))
    assert image.log == ["shape", *reads(1, 2)]
    assert result.tolist() == [[[0, 0, 0], [0, 0, 0]]]


def test_narrow_palette_panics_after_the_first_pixel(registry):
    image = Recording([[(1, 2, 3), (4, 5, 6)]])
    error = convert_failure(registry, image, np.ones((1, 2), np.uint64))
    assert error.args == ("ndarray: index out of bounds",)
    assert image.log == ["shape", *reads(1, 1)]


@pytest.mark.parametrize("bad_channel", [0, 1, 2])
def test_conversion_follows_each_read(registry, bad_channel):
    pixel = [5, 5, 5]
    pixel[bad_channel] = -1
    image = Recording([[(1, 1, 1), tuple(pixel), (2, 2, 2)]])
    assert type(convert_failure(registry, image, palette())) is OverflowError
    assert image.log == ["shape", *reads(1, 1), *[(0, 1, k) for k in range(bad_channel + 1)]]


class Failure(Exception):
    pass


@pytest.mark.parametrize("error_type", [Failure, KeyboardInterrupt, IndexError])
def test_exception_from_an_item_read_reaches_the_caller_unchanged(registry, error_type):
    raised = []

    def fail_at_second_row(image, key):
        if key == (1, 0, 1):
            raised.append(error_type("no such pixel"))
            raise raised[-1]

    image = Recording([[(1, 1, 1)] * 2] * 3, on_read=fail_at_second_row)
    error = convert_failure(registry, image, palette())
    assert error is raised[0]
    assert image.log == ["shape", *reads(1, 2), (1, 0, 0), (1, 0, 1)]


class Unreadable:
    def __init__(self, error):
        self.error = error

    @property
    def shape(self):
        raise self.error

    def __getitem__(self, key):
        raise AssertionError("items are read only after the shape")


@pytest.mark.parametrize("error", [Failure("no shape"), AttributeError("shape withheld")])
def test_exception_from_the_shape_reaches_the_caller_unchanged(registry, error):
    assert convert_failure(registry, Unreadable(error), palette()) is error


def test_palette_changes_made_during_the_call_are_seen_by_later_pixels(registry):
    colours = palette([[0, 0, 0], [100, 100, 100]])
    seen_borrowed = []

    def repaint(image, key):
        seen_borrowed.append(not registry.is_free(colours))
        if key == (0, 1, 0):
            colours[0] = [90, 90, 90]
        if key == (0, 2, 0):
            colours[1] = [11, 11, 11]

    image = Recording([[(10, 10, 10)] * 3], on_read=repaint)
    result = palettra.convert(image, colours)
    assert result.tolist() == [[[0, 0, 0], [90, 90, 90], [11, 11, 11]]]
    assert all(seen_borrowed) and len(seen_borrowed) == 9
    assert registry.is_free(colours)


def test_other_read_borrows_are_granted_during_the_call(registry):
    colours = palette()
    granted = []

    def borrow_again(image, key):
        granted.append(registry.acquire(colours))
        registry.release(colours)

    palettra.convert(Recording([[(0, 0, 0)]], on_read=borrow_again), colours)
    assert granted == [0, 0, 0]


def test_nested_call_on_the_same_palette_keeps_the_outer_borrow(registry):
    colours = palette()
    inner_results = []

    def convert_again(image, key):
        if key == (0, 0, 2):
            inner = Recording([[(250, 240, 250)]])
            inner_results.append(palettra.convert(inner, colours).tolist())
            assert not registry.is_free(colours)

    result = palettra.convert(Recording([[(200, 30, 30)]], on_read=convert_again), colours)
    assert inner_results == [[[[255, 255, 255]]]]
    assert result.tolist() == [[[255, 0, 0]]]
    assert registry.is_free(colours)


TOO_LARGE = "ndarray: Shape too large, product of non-zero axis lengths overflows Py_ssize_t"


@pytest.mark.parametrize(
    "shape, message",
    [
        ((2**63, 1, 3), TOO_LARGE),
        ((2**32, 2**31, 0), TOO_LARGE),
        ((2**60, 1, 3), "capacity overflow"),
    ],
)
def test_results_too_large_to_hold_panic_before_any_read(registry, shape, message):
    image = Recording([], shape=shape)
    error = convert_failure(registry, image, palette())
    assert type(error).__name__ == "PanicException" and error.args == (message,)
    assert image.log == ["shape"]


class Index:
    def __init__(self, value):
        self.value = value
        self.calls = 0

    def __index__(self):
        self.calls += 1
        return self.value


def test_items_with_index_convert_and_are_released():
    values = [Index(200), Index(30), Index(30)]
    image = Recording([[values, values]])
    before = [sys.getrefcount(v) for v in values]
    assert palettra.convert(image, palette()).tolist() == [[[255, 0, 0], [255, 0, 0]]]
    assert [v.calls for v in values] == [2, 2, 2]
    assert [sys.getrefcount(v) for v in values] == before


@pytest.mark.parametrize(
    "value, error_type", [(Index(-1), OverflowError), (Index(2**64), OverflowError),
                          (Index(None), TypeError)],
)
def test_items_whose_index_is_invalid(registry, value, error_type):
    image = Recording([[(0, 0, value)]])
    assert type(convert_failure(registry, image, palette(), value)) is error_type


class IndexRaises:
    def __index__(self):
        raise Failure("not a number after all")


def test_index_that_raises(registry):
    value = IndexRaises()
    image = Recording([[(0, value, 0)]])
    error = convert_failure(registry, image, palette(), value)
    assert type(error) is Failure
    assert image.log == ["shape", (0, 0, 0), (0, 0, 1)]


def test_shape_object_is_released(registry):
    shape = ShapeTuple((1, 1, 3))
    image = Recording([[(1, 2, 3)]], shape=shape)
    before = sys.getrefcount(shape)
    palettra.convert(image, palette())
    assert sys.getrefcount(shape) == before
    bad = ShapeTuple((1, -1, 3))
    convert_failure(registry, Recording([], shape=bad), palette(), bad)
