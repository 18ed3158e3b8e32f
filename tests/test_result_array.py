"""The array convert returns, the BufferOwner behind it, and the result's size limits."""

import ctypes
import gc
import os
import sys

import numpy as np
import pytest

import palettra
from support.isolated import run_json

PALETTE = np.array([[10, 20, 30], [200, 100, 0]], np.uint64)


def convert(image):
    return palettra.convert(image, PALETTE)


class Shaped:
    """An image with any shape whose pixels must never be read."""

    def __init__(self, shape):
        self.shape = shape

    def __getitem__(self, key):
        raise AssertionError(f"pixel {key} was read")


def owner_type():
    return type(convert(np.zeros((1, 1, 3), np.uint8)).base)


@pytest.mark.parametrize(
    "shape, strides",
    [((2, 3, 3), (72, 24, 8)), ((2, 3, 4), (72, 24, 8)), ((2, 5, 3), (120, 24, 8)), ((1, 1, 3), None)],
)
def test_result_is_a_writeable_row_major_view_of_its_owner(shape, strides):
    result = convert(np.zeros(shape, np.uint8))
    assert type(result) is np.ndarray
    assert (result.shape, result.dtype) == ((shape[0], shape[1], 3), np.dtype(np.uint64))
    if strides is not None:
        assert result.strides == strides
    assert result.flags.writeable and result.flags.c_contiguous and result.flags.aligned
    assert not result.flags.owndata
    assert type(result.base) is owner_type()


@pytest.mark.parametrize("height, width", [(0, 0), (0, 5), (4, 0)])
def test_empty_result_has_zero_strides_and_no_storage(height, width):
    result = convert(Shaped((height, width, 7)))
    assert (result.shape, result.strides) == ((height, width, 3), (0, 0, 0))
    assert type(result.base) is owner_type()
    # Its owner holds a placeholder address, which must not reach free().
    del result
    gc.collect()


def test_buffer_owner_type():
    owner = owner_type()
    assert (owner.__name__, owner.__qualname__, owner.__module__) == (
        "BufferOwner",
        "BufferOwner",
        "builtins",
    )
    assert owner.__doc__ == "Utility type to safely store a native buffer on the Python heap"
    assert owner.__text_signature__ is None
    assert owner.__bases__ == (object,)
    assert (owner.__basicsize__, owner.__itemsize__) == (48, 0)
    assert not gc.is_tracked(convert(np.zeros((1, 1, 3), np.uint8)).base)
    assert not [name for name in vars(owner) if name not in ("__doc__", "__new__", "__module__")]


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2), {"size": 3})])
def test_buffer_owner_cannot_be_made_from_python(args, kwargs):
    with pytest.raises(TypeError) as caught:
        owner_type()(*args, **kwargs)
    assert str(caught.value) == "No constructor defined"


def test_buffer_owner_cannot_be_subclassed():
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (owner_type(),), {})


def test_owners_do_not_keep_their_type_alive():
    owner = owner_type()
    before = sys.getrefcount(owner)
    for _ in range(20):
        convert(np.zeros((1, 1, 3), np.uint8))
    assert sys.getrefcount(owner) == before


def test_views_share_the_buffer_after_the_result_is_gone():
    result = convert(np.zeros((3, 4, 3), np.uint8))
    rows, column = result[1:], result[:, 2]
    del result
    gc.collect()
    rows[0, 2, 1] = 99
    assert column[1].tolist() == [10, 99, 30]
    assert column.base is rows.base


class MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


def malloc_in_use():
    """Bytes the C allocator has handed out and not had back."""
    mallinfo2 = ctypes.CDLL(None).mallinfo2
    mallinfo2.restype = MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


@pytest.mark.skipif(
    bool(os.environ.get("PALETTRA_SANITIZED")),
    reason="the sanitizer's allocator stands in for malloc; its leak check covers this",
)
def test_buffer_is_freed_with_its_last_view():
    image = np.zeros((128, 128, 3), np.uint8)
    size = 128 * 128 * 3 * 8
    before = malloc_in_use()
    result = convert(image)
    assert malloc_in_use() - before >= size
    view = result[64:, :, 1]
    del result
    gc.collect()
    assert malloc_in_use() - before >= size, "the view keeps the buffer"
    view[...] = 7
    del view
    gc.collect()
    assert malloc_in_use() - before < size // 2
    for _ in range(5):
        convert(image)[::2]
    assert malloc_in_use() - before < size // 2


SHAPE_TOO_LARGE = "ndarray: Shape too large, product of non-zero axis lengths overflows Py_ssize_t"


@pytest.mark.parametrize(
    "shape, message",
    [
        ((0, 2**62, 3), SHAPE_TOO_LARGE),
        ((2**62, 0, 3), SHAPE_TOO_LARGE),
        ((2**32, 2**32, 3), SHAPE_TOO_LARGE),
        ((2**63 - 1, 1, 3), SHAPE_TOO_LARGE),
        ((1, 2**59, 3), "capacity overflow"),
        ((2**30, 2**30, 3), "capacity overflow"),
        ((1, (2**60 + 2) // 3, 3), "capacity overflow"),
    ],
)
def test_result_too_large_panics_before_reading_pixels(registry, shape, message):
    with pytest.raises(BaseException) as caught:
        convert(Shaped(shape))
    assert type(caught.value).__name__ == "PanicException"
    assert str(caught.value) == message
    assert registry.is_free(PALETTE)


def test_result_the_allocator_refuses_is_a_memory_error():
    # 2**60 - 1 elements: just under the capacity limit, far beyond any address
    # space. Alone in a process, where the sanitizer can be told to let the
    # allocator fail instead of ending the run.
    outcome = run_json(
        """
        import json
        import numpy as np
        import palettra
        from support.registry import shared_registry

        registry = shared_registry()
        palette = np.ones((1, 3), np.uint64)

        class Shaped:
            shape = (1, (2**60 - 1) // 3, 3)

        try:
            palettra.convert(Shaped(), palette)
            outcome = None
        except BaseException as error:
            outcome = type(error).__name__
        print(json.dumps([outcome, registry.is_free(palette)]))
        """,
        env={"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":allocator_may_return_null=1"},
    )
    assert outcome == ["MemoryError", True]
