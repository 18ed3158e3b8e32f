"""Python values to unsigned integers and triples, directly and as convert
reads them from an image."""

import numpy as np
import pytest

import palettra
from support.oddly_named import Nameless, Outer

U64_MAX = 2**64 - 1
NEGATIVE = "can't convert negative int to unsigned"
TOO_BIG = "int too big to convert"


class Int(int):
    pass


class Index:
    """Not an int, but usable as one; raises `value` if it is an exception."""

    def __init__(self, value, log=None):
        self.value = value
        self.log = log

    def __index__(self):
        if self.log is not None:
            self.log.append(self.value)
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class TupleSubclass(tuple):
    pass


@pytest.mark.parametrize(
    "value, expected",
    [
        (0, 0),
        (U64_MAX, U64_MAX),
        (True, 1),
        (False, 0),
        (Int(7), 7),
        (Int(U64_MAX), U64_MAX),
        (Index(5), 5),
        (Index(U64_MAX), U64_MAX),
    ],
)
def test_unsigned_values(testing, value, expected):
    result = testing.extract_u64(value)
    assert type(result) is int and result == expected


@pytest.mark.parametrize(
    "value, error, message",
    [
        (-1, OverflowError, NEGATIVE),
        (2**64, OverflowError, TOO_BIG),
        (Int(-1), OverflowError, NEGATIVE),
        (Index(-1), OverflowError, NEGATIVE),
        (Index(2**64), OverflowError, TOO_BIG),
        (3.0, TypeError, "'float' object cannot be interpreted as an integer"),
        ("7", TypeError, "'str' object cannot be interpreted as an integer"),
        (None, TypeError, "'NoneType' object cannot be interpreted as an integer"),
        (Index(3.5), TypeError, "__index__ returned non-int (type float)"),
    ],
)
def test_unsigned_failures_are_the_interpreters(testing, value, error, message):
    with pytest.raises(error) as info:
        testing.extract_u64(value)
    assert type(info.value) is error
    assert info.value.args == (message,)


def test_index_failure_passes_unchanged(testing):
    raised = KeyError("from __index__")
    with pytest.raises(KeyError) as info:
        testing.extract_u64(Index(raised))
    assert info.value is raised


@pytest.mark.parametrize(
    "value, expected",
    [
        ((4, 5, 3), (4, 5, 3)),
        (TupleSubclass((4, 5, 3)), (4, 5, 3)),
        ((0, U64_MAX, True), (0, U64_MAX, 1)),
        ((Index(1), Int(2), 3), (1, 2, 3)),
    ],
)
def test_triples(testing, value, expected):
    assert testing.extract_triple(value) == expected


@pytest.mark.parametrize(
    "value, error, message",
    [
        ((4, 5), ValueError, "expected tuple of length 3, but got tuple of length 2"),
        ((4, 5, 3, 1), ValueError, "expected tuple of length 3, but got tuple of length 4"),
        ((), ValueError, "expected tuple of length 3, but got tuple of length 0"),
        (TupleSubclass((4, 5)), ValueError, "expected tuple of length 3, but got tuple of length 2"),
        ([4, 5, 3], TypeError, "'list' object cannot be converted to 'PyTuple'"),
        (None, TypeError, "'NoneType' object cannot be converted to 'PyTuple'"),
        (Outer.Inner(), TypeError, "'Outer.Inner' object cannot be converted to 'PyTuple'"),
        (Nameless(), TypeError, "'<failed to extract type name>' object cannot be converted to 'PyTuple'"),
        ((4, -1, 3), OverflowError, NEGATIVE),
        (("a", -1, 3), TypeError, "'str' object cannot be interpreted as an integer"),
        ((1, 2, 2**64), OverflowError, TOO_BIG),
    ],
)
def test_triple_failures(testing, value, error, message):
    with pytest.raises(error) as info:
        testing.extract_triple(value)
    assert type(info.value) is error
    assert info.value.args == (message,)


def test_triple_items_are_converted_in_order_up_to_the_first_failure(testing):
    log = []
    first = KeyError("item 1")
    items = (Index(7, log), Index(first, log), Index(ValueError("item 2"), log))
    with pytest.raises(KeyError) as info:
        testing.extract_triple(items)
    assert info.value is first
    assert log == [7, first]


class Picture:
    """An image as convert reads it: a shape and item access by (i, j, k)."""

    def __init__(self, shape, value):
        self.shape = shape
        self.value = value

    def __getitem__(self, key):
        return self.value


PALETTE = np.array([[0, 0, 0], [1, 1, 1], [2, 2, 2], [U64_MAX] * 3], dtype=np.uint64)


@pytest.mark.parametrize(
    "shape, value, nearest",
    [
        ((1, 1, 3), True, 1),
        ((1, 1, 3), Int(2), 2),
        ((1, 1, 3), Index(2), 2),
        ((1, 1, 3), U64_MAX, U64_MAX),
        (TupleSubclass((1, 1, 3)), 0, 0),
        ((1, 1, Index(3)), 1, 1),
        ((Int(1), True, 3), 2, 2),
    ],
)
def test_convert_reads_shape_and_channels_as_unsigned(shape, value, nearest):
    assert palettra.convert(Picture(shape, value), PALETTE).tolist() == [[[nearest] * 3]]


@pytest.mark.parametrize(
    "shape, value, error, message",
    [
        ([1, 1, 3], 0, TypeError, "'list' object cannot be converted to 'PyTuple'"),
        (Outer.Inner(), 0, TypeError, "'Outer.Inner' object cannot be converted to 'PyTuple'"),
        ((1, 1), 0, ValueError, "expected tuple of length 3, but got tuple of length 2"),
        ((1, -1, 3), 0, OverflowError, NEGATIVE),
        ((1, 1, 3.0), 0, TypeError, "'float' object cannot be interpreted as an integer"),
        ((1, 1, 3), -1, OverflowError, NEGATIVE),
        ((1, 1, 3), 2**64, OverflowError, TOO_BIG),
        ((1, 1, 3), 3.0, TypeError, "'float' object cannot be interpreted as an integer"),
    ],
)
def test_convert_passes_conversion_failures_unchanged(shape, value, error, message):
    with pytest.raises(error) as info:
        palettra.convert(Picture(shape, value), PALETTE)
    assert type(info.value) is error
    assert info.value.args == (message,)
