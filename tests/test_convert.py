"""convert on NumPy images: the nearest-colour choice and how bad input fails."""

import sys

import numpy as np
import pytest

import palettra
from support.failures import convert_failure

BASIC = [[0, 0, 0], [255, 255, 255], [255, 0, 0]]


def convert(pixels, rows, image_dtype=np.uint64):
    image = np.array(pixels, dtype=image_dtype).reshape(1, -1, 3)
    palette = np.array(rows, dtype=np.uint64).reshape(len(rows), -1)
    return palettra.convert(image, palette).reshape(-1, 3).tolist()


def assert_panic(error, message):
    assert type(error).__module__ == "palettra_runtime"
    assert type(error).__name__ == "PanicException"
    assert not isinstance(error, Exception)
    assert error.args == (message,)


@pytest.mark.parametrize(
    "rows, pixel, chosen",
    [
        # Distances 41800, 104275 and 4825.
        (BASIC, (200, 30, 30), (255, 0, 0)),
        # Equal distances: the lower index wins, in whichever order.
        ([[0, 0, 0], [2, 0, 0]], (1, 0, 0), (0, 0, 0)),
        ([[2, 0, 0], [0, 0, 0]], (1, 0, 0), (2, 0, 0)),
        ([[9, 9, 9], [3, 4, 5], [3, 4, 5], [5, 4, 3]], (4, 4, 4), (3, 4, 5)),
        # A pixel equal to a row, and an earlier row that matches too.
        (BASIC, (255, 255, 255), (255, 255, 255)),
        ([[7, 8, 9], [1, 1, 1], [7, 8, 9]], (7, 8, 9), (7, 8, 9)),
        # Beyond 2**53 the rows tie in double precision; the stored integers come back.
        ([[2**60 + 1, 0, 0], [2**60, 0, 0]], (2**60, 0, 0), (2**60 + 1, 0, 0)),
        ([[2**64 - 1, 5, 2**64 - 2], [2**64 - 2, 5, 2**64 - 1]], (2**64 - 1,) * 3,
         (2**64 - 1, 5, 2**64 - 2)),
        # Both channels as far apart as possible; no overflow, no wrap-around.
        ([[0, 0, 0], [2**64 - 1, 2**64 - 1, 2**64 - 1]], (2**63 + 2**62, 0, 2**64 - 1),
         (2**64 - 1, 2**64 - 1, 2**64 - 1)),
    ],
)
def test_nearest_row_is_chosen(rows, pixel, chosen):
    assert convert([pixel], rows) == [list(chosen)]


# Found by an exhaustive search over a in 3e9..3e9+49, b in 1e9..1e9+49 for the
# first pair whose fused sums differ: with exact integers,
# float(a*a + int(float(b*b))) == float(a*a) + float(b*b), while
# float(b*b + int(float(a*a))) is 2048 more. Rounded step by step, rows that
# differ by swapping a and b are at equal distances from the origin and the
# first row wins; a build that fuses one product into the sum makes one of
# them nearer, and over both orders and every channel pair some case flips.
FMA_A, FMA_B = 3_000_000_000, 1_000_000_001


def fused(x, y):
    """fma(x, x, y*y) for integers below 2**53 squared, rounded once."""
    return float(x * x + int(float(y * y)))


def test_fma_pair_separates_fused_from_stepwise_sums():
    stepwise = float(FMA_A * FMA_A) + float(FMA_B * FMA_B)
    assert fused(FMA_A, FMA_B) == stepwise
    assert fused(FMA_B, FMA_A) == stepwise + 2048


@pytest.mark.parametrize("channels", [(0, 1), (1, 2), (0, 2)])
@pytest.mark.parametrize("first, second", [(FMA_A, FMA_B), (FMA_B, FMA_A)])
def test_distances_are_rounded_operation_by_operation(channels, first, second):
    rows = [[0, 0, 0], [0, 0, 0]]
    rows[0][channels[0]], rows[0][channels[1]] = first, second
    rows[1][channels[0]], rows[1][channels[1]] = second, first
    assert convert([(0, 0, 0)], rows) == [rows[0]]


@pytest.mark.parametrize("columns", [3, 4, 7])
def test_columns_from_index_3_have_no_influence(columns):
    rng = np.random.default_rng(columns)
    palette = rng.integers(0, 256, (6, columns)).astype(np.uint64)
    image = rng.integers(0, 256, (4, 5, 3)).astype(np.uint8)
    scrambled = palette.copy()
    scrambled[:, 3:] = rng.integers(0, 2**64, scrambled[:, 3:].shape, dtype=np.uint64)
    result = palettra.convert(image, palette)
    assert np.array_equal(palettra.convert(image, scrambled), result)
    assert np.array_equal(palettra.convert(image, palette[:, :3].copy()), result)


@pytest.mark.parametrize("shape", [(0, 0, 3), (0, 4, 3), (4, 0, 3), (0, 4, 1)])
@pytest.mark.parametrize("palette_shape", [(0, 0), (2, 0), (2, 2), (3, 3)])
def test_empty_image_reads_nothing_and_does_not_panic(shape, palette_shape):
    result = palettra.convert(np.zeros(shape, np.uint8), np.ones(palette_shape, np.uint64))
    assert result.shape == (*shape[:2], 3)
    assert result.dtype == np.uint64


@pytest.mark.parametrize("columns", [0, 2, 3, 5])
def test_empty_palette_gives_black(columns):
    image = np.arange(2 * 3 * 3, dtype=np.uint16).reshape(2, 3, 3) + 1
    result = palettra.convert(image, np.zeros((0, columns), np.uint64))
    assert result.tolist() == np.zeros((2, 3, 3), int).tolist()


@pytest.mark.parametrize("columns", [0, 2, 3])
@pytest.mark.parametrize(
    "bad, error_type",
    [(-1, OverflowError), (2**64, OverflowError), (1.0, TypeError), ("1", TypeError)],
)
@pytest.mark.parametrize("position", [(0, 0, 0), (0, 0, 2), (1, 1, 1)])
def test_empty_palette_still_converts_every_value(registry, columns, bad, error_type, position):
    image = np.ones((2, 2, 3), dtype=object)
    image[position] = bad
    palette = np.zeros((0, columns), np.uint64)
    assert type(convert_failure(registry, image, palette)) is error_type


@pytest.mark.parametrize("columns", [0, 1, 2])
def test_rows_with_fewer_than_3_columns_panic(registry, columns):
    image = np.ones((2, 2, 3), np.uint8)
    palette = np.ones((3, columns), np.uint64)
    assert_panic(convert_failure(registry, image, palette), "ndarray: index out of bounds")


@pytest.mark.parametrize("channel", [0, 1, 2])
def test_narrow_palette_reports_a_bad_first_pixel_before_panicking(registry, channel):
    image = np.ones((1, 1, 3), dtype=object)
    image[0, 0, channel] = -5
    palette = np.ones((1, 2), np.uint64)
    assert type(convert_failure(registry, image, palette)) is OverflowError


def test_narrow_palette_panics_before_a_bad_second_pixel(registry):
    image = np.array([[[1, 1, 1], [-1, -1, -1]]], dtype=object)
    palette = np.ones((1, 2), np.uint64)
    assert_panic(convert_failure(registry, image, palette), "ndarray: index out of bounds")


def test_single_channel_image_raises_its_own_index_error(registry):
    image = np.zeros((2, 3, 1), np.uint8)
    error = convert_failure(registry, image, np.array(BASIC, np.uint64))
    assert type(error) is IndexError
    assert str(error) == "index 1 is out of bounds for axis 2 with size 1"


class WithShape:
    def __init__(self, shape):
        self.shape = shape

    def __getitem__(self, key):
        return 0


@pytest.mark.parametrize(
    "image, error_type, message",
    [
        (np.zeros((2, 2), np.uint8), ValueError,
         "expected tuple of length 3, but got tuple of length 2"),
        (np.zeros((1, 1, 1, 3), np.uint8), ValueError,
         "expected tuple of length 3, but got tuple of length 4"),
        (WithShape(()), ValueError, "expected tuple of length 3, but got tuple of length 0"),
        (WithShape([1, 1, 3]), TypeError, "'list' object cannot be converted to 'PyTuple'"),
        (WithShape([1, 1]), TypeError, "'list' object cannot be converted to 'PyTuple'"),
        (WithShape(None), TypeError, "'NoneType' object cannot be converted to 'PyTuple'"),
        # The channel count is never used, yet it must be a valid unsigned integer.
        (WithShape((1, 1, -1)), OverflowError, "can't convert negative int to unsigned"),
        (WithShape((1, 1, 2**64)), OverflowError, "int too big to convert"),
        (WithShape((1, 1, 3.0)), TypeError, "'float' object cannot be interpreted as an integer"),
        (WithShape((1, 1, "3")), TypeError, "'str' object cannot be interpreted as an integer"),
        (WithShape(("a", -1, 3)), TypeError, "'str' object cannot be interpreted as an integer"),
        (WithShape((4, -1, 3)), OverflowError, "can't convert negative int to unsigned"),
        ([[[1, 2, 3]]], AttributeError, "'list' object has no attribute 'shape'"),
        (None, AttributeError, "'NoneType' object has no attribute 'shape'"),
    ],
)
def test_bad_shapes(registry, image, error_type, message):
    error = convert_failure(registry, image, np.array(BASIC, np.uint64))
    assert type(error) is error_type
    assert str(error) == message


@pytest.mark.parametrize(
    "value, error_type, message",
    [
        (-1, OverflowError, "can't convert negative int to unsigned"),
        (2**64, OverflowError, "int too big to convert"),
        (np.float64(1.0), TypeError, "'numpy.float64' object cannot be interpreted as an integer"),
        (1.5, TypeError, "'float' object cannot be interpreted as an integer"),
        (None, TypeError, "'NoneType' object cannot be interpreted as an integer"),
    ],
)
def test_bad_pixel_values_raise_the_interpreters_errors(registry, value, error_type, message):
    image = np.full((2, 2, 3), 7, dtype=object)
    image[1, 0, 1] = value
    error = convert_failure(registry, image, np.array(BASIC, np.uint64), value)
    assert type(error) is error_type
    assert str(error) == message


@pytest.mark.parametrize("dtype", [np.int8, np.int16, np.int64, np.uint32])
def test_integer_images_of_any_width_and_sign(dtype):
    rows = [[0, 0, 0], [100, 100, 100], [120, 0, 0]]
    assert convert([(110, 5, 5)], rows, dtype) == [[120, 0, 0]]


@pytest.mark.parametrize(
    "dtype, value, error_type",
    [(np.int8, -1, OverflowError), (np.int64, -(2**63), OverflowError),
     (np.float64, 1.0, TypeError), (np.float32, 0.0, TypeError)],
)
def test_negative_and_float_numpy_values(registry, dtype, value, error_type):
    image = np.ones((1, 2, 3), dtype)
    image[0, 1, 2] = value
    assert type(convert_failure(registry, image, np.array(BASIC, np.uint64))) is error_type


def test_bools_and_python_ints_convert():
    image = np.array([[[True, False, True], [2**64 - 1, 0, 1]]], dtype=object)
    result = palettra.convert(image, np.array([[1, 0, 1], [2**64 - 1, 0, 0]], np.uint64))
    assert result.tolist() == [[[1, 0, 1], [2**64 - 1, 0, 0]]]


def test_successful_call_keeps_no_reference(registry):
    image = np.ones((3, 2, 4), np.uint8)
    palette = np.array(BASIC, np.uint64)
    before = sys.getrefcount(image), sys.getrefcount(palette)
    result = palettra.convert(image, palette)
    assert (sys.getrefcount(image), sys.getrefcount(palette)) == before
    assert registry.is_free(palette)
    assert result.dtype == np.uint64 and result.shape == (3, 2, 3)
    assert result.flags.c_contiguous and result.flags.writeable
