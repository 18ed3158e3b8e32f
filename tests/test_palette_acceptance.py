"""Which palettes convert accepts, how it reads them, and that it lets go of them."""

import sys
import warnings

import numpy as np
import pytest

import palettra
from support.failures import convert_failure
from support.isolated import run_json
from support.oracle import nearest_colours
from support.palette_images import image_of_rows


class Palette(np.ndarray):
    pass


def source():
    return np.random.default_rng(7).integers(0, 256, (6, 5)).astype(np.uint64)


def read_only(array):
    array = array.copy()
    array.flags.writeable = False
    return array


def matrix(array):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", PendingDeprecationWarning)
        return np.matrix(array)


def owner(array):
    """The writeable array at the end of the view chain, to probe the registry with."""
    while isinstance(array.base, np.ndarray):
        array = array.base
    array.flags.writeable = True
    return array


def assert_untouched(registry, palette, image, counts):
    assert registry.is_free(owner(palette)), "the palette is still borrowed"
    assert (sys.getrefcount(palette), sys.getrefcount(image)) == counts


def counts_of(palette, image):
    return sys.getrefcount(palette), sys.getrefcount(image)


def panic_text(call):
    with pytest.raises(BaseException) as caught:
        call()
    assert type(caught.value).__name__ == "PanicException"
    return str(caught.value)


LAYOUTS = {
    "contiguous": lambda m: m[:, :3].copy(),
    "wider": lambda m: m,
    "fortran": lambda m: np.asfortranarray(m),
    "transposed": lambda m: m.T.copy().T,
    "columns-1-to-3": lambda m: m[:, 1:4],
    "reversed-rows": lambda m: m[::-1],
    "reversed-columns": lambda m: m[:, ::-1],
    "both-reversed": lambda m: m[::-1, ::-1],
    "every-second-row": lambda m: m[::2],
    "every-second-reversed": lambda m: m[::-2, 1:],
    "broadcast-row": lambda m: np.broadcast_to(m[2], (4, 5)),
    "broadcast-column": lambda m: np.broadcast_to(m[:, 1:2], (6, 3)),
    "read-only": read_only,
    "subclass": lambda m: m[1:].view(Palette),
    "matrix": matrix,
    "ulonglong": lambda m: m.astype(np.ulonglong),
    "zero-rows": lambda m: m[:0],
    "zero-rows-and-columns": lambda m: m[:0, :0],
}


@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_palette_is_read_as_indexed(registry, layout):
    palette = layout(source())
    image = image_of_rows(palette, extra=[(0, 0, 0), (255, 255, 255), (90, 200, 17)])
    counts = counts_of(palette, image)
    result = palettra.convert(image, palette)
    assert result.tolist() == nearest_colours(image, palette).tolist()
    assert_untouched(registry, palette, image, counts)


@pytest.mark.parametrize("palette", [np.zeros((3, 0), np.uint64), np.zeros((2, 2), np.uint64)])
def test_narrow_palette_is_accepted_for_an_empty_image(registry, palette):
    image = np.zeros((0, 4, 3), np.uint8)
    assert palettra.convert(image, palette).shape == (0, 4, 3)
    assert registry.is_free(palette)


REJECTED = {
    "1-D": (np.zeros(3, np.uint64), "ndarray"),
    "3-D": (np.zeros((1, 1, 3), np.uint64), "ndarray"),
    "0-D": (np.zeros((), np.uint64), "ndarray"),
    "int64": (np.zeros((2, 3), np.int64), "ndarray"),
    "float64": (np.zeros((2, 3), np.float64), "ndarray"),
    "uint8": (np.zeros((2, 3), np.uint8), "ndarray"),
    "uint32": (np.zeros((2, 3), np.uint32), "ndarray"),
    "byte-swapped": (np.zeros((2, 3), np.dtype(np.uint64).newbyteorder()), "ndarray"),
    "subclass-1-D": (np.zeros(3, np.uint64).view(Palette), "Palette"),
    "scalar": (np.uint64(3), "uint64"),
    "nested-list": ([[1, 2, 3]], "list"),
    "memoryview": (memoryview(np.zeros((2, 3), np.uint64)), "memoryview"),
    "None": (None, "NoneType"),
}


@pytest.mark.parametrize("palette, type_name", REJECTED.values(), ids=REJECTED.keys())
def test_other_objects_are_rejected(registry, palette, type_name):
    error = convert_failure(registry, np.zeros((1, 1, 3), np.uint8), palette)
    assert type(error) is TypeError
    assert str(error) == (
        f"argument 'color_palette': '{type_name}' object cannot be converted to 'PyArray<T, D>'"
    )


@pytest.mark.parametrize(
    "writer",
    [lambda p: p, lambda p: p[:, 0], lambda p: p[1:, 3:], lambda p: p.base],
    ids=["whole", "column", "corner", "wider-base"],
)
def test_palette_borrowed_for_writing_stops_the_call(registry, borrows, writer):
    palette = np.arange(20, dtype=np.uint64).reshape(5, 4)[:, :4]
    image = np.zeros((1, 1, 3), np.uint8)
    assert borrows.write(writer(palette)) == 0
    counts = counts_of(palette, image)
    assert panic_text(lambda: palettra.convert(image, palette)) == (
        "borrow of the array was refused: AlreadyBorrowed"
    )
    assert counts_of(palette, image) == counts
    borrows.end_all()
    assert registry.is_free(palette)


def test_writer_elsewhere_in_the_same_memory_does_not_matter(registry, borrows):
    memory = np.arange(12, dtype=np.uint64).reshape(4, 3)
    palette = memory[:2]
    assert borrows.write(memory[2:]) == 0
    assert palettra.convert(np.ones((1, 1, 3), np.uint8), palette).tolist() == [[[0, 1, 2]]]
    borrows.end_all()
    assert registry.is_free(memory)


def test_palette_read_borrowed_elsewhere_keeps_that_borrow(registry, borrows):
    palette = np.array([[1, 2, 3]], np.uint64)
    assert borrows.read(palette) == 0
    assert palettra.convert(np.zeros((1, 1, 3), np.uint8), palette).tolist() == [[[1, 2, 3]]]
    assert registry.acquire_mut(palette) == -1, "the other reader's borrow is gone"
    borrows.end_all()
    assert registry.is_free(palette)


class Failing:
    """An image whose shape is fine and whose second pixel cannot be read."""

    shape = (1, 2, 3)

    def __getitem__(self, key):
        if key[1] == 1:
            raise LookupError("pixel lost")
        return 5


@pytest.mark.parametrize(
    "image, palette, error",
    [
        (object(), np.ones((2, 3), np.uint64), "AttributeError"),
        (Failing(), np.ones((2, 3), np.uint64), "LookupError"),
        (np.zeros((1, 1, 3), np.uint8), np.ones((2, 2), np.uint64), "PanicException"),
    ],
    ids=["no-shape", "pixel-fails", "too-few-columns"],
)
def test_failing_call_lets_go_of_the_palette(registry, image, palette, error):
    assert type(convert_failure(registry, image, palette)).__name__ == error


# A palette at either edge of a readable page between two unreadable ones,
# with byte strides that need not be multiples of 8: every element convert
# reads must be the one NumPy reads, and nothing outside the palette is read.
GUARDED = """
import ctypes, json, mmap
import numpy as np
from numpy.lib.stride_tricks import as_strided
import palettra
from support.oracle import nearest_colours
from support.palette_images import image_of_rows

rows, columns, strides = {rows}, {columns}, {strides}
page = mmap.PAGESIZE
region = mmap.mmap(-1, 3 * page)
start = ctypes.addressof(ctypes.c_char.from_buffer(region))
memory = np.frombuffer(region, np.uint8)
memory[page:2 * page] = np.random.default_rng(3).integers(0, 256, page, np.uint8)
libc = ctypes.CDLL(None, use_errno=True)
PROT_NONE = 0
libc.mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
assert libc.mprotect(start, page, PROT_NONE) == 0
assert libc.mprotect(start + 2 * page, page, PROT_NONE) == 0

offsets = [(extent - 1) * stride for extent, stride in zip((rows, columns), strides)]
low = sum(offset for offset in offsets if offset < 0)
high = sum(offset for offset in offsets if offset > 0)
agree = []
for data in (page - low, 2 * page - 8 - high):
    first = memory[data:data + 8].view(np.uint64)
    palette = as_strided(first, (rows, columns), strides)
    image = image_of_rows(palette, extra=[(0, 0, 0), (2**63, 2**62, 1)])
    expected = nearest_colours(image, palette)
    agree.append(palettra.convert(image, palette).tolist() == expected.tolist())
print(json.dumps(agree))
"""


@pytest.mark.parametrize(
    "rows, columns, strides",
    [
        (5, 3, (29, 9)),
        (5, 3, (-29, 9)),
        (5, 3, (29, -9)),
        (5, 3, (-29, -9)),
        (4, 3, (3, 1)),
        (6, 3, (8, 48)),
        (5, 4, (40, -8)),
        (4, 3, (0, 11)),
        (3, 3, (-13, 0)),
    ],
)
def test_palette_is_read_in_place_within_its_bounds(rows, columns, strides):
    assert run_json(GUARDED.format(rows=rows, columns=columns, strides=strides)) == [True, True]
