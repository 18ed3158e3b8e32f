"""The shared borrow registry, driven through its capsule as another module would."""

import numpy as np
import pytest

from support.isolated import run_json
from support.registry import CAPSULE_NAME, _get_name

GRANTED, REFUSED, NOT_WRITEABLE = 0, -1, -2


def words(n=8):
    return np.arange(n, dtype=np.uint64)


def test_palettra_publishes_a_record_of_version_1(registry):
    assert _get_name(registry.capsule) == CAPSULE_NAME.encode()
    assert registry.record.version == 1


def test_read_borrows_are_counted(borrows):
    a = words()
    assert borrows.read(a) == GRANTED
    assert borrows.read(a) == GRANTED
    assert borrows.write(a) == REFUSED
    borrows.end(a)
    assert borrows.write(a) == REFUSED, "one read borrow is still held"
    borrows.end(a)
    assert borrows.write(a) == GRANTED


def test_columns_of_a_pair_array_are_disjoint(borrows):
    a = np.zeros((5, 2), np.uint64)
    assert borrows.read(a) == GRANTED
    assert borrows.write(a[:, 0]) == REFUSED
    borrows.end(a)
    first, second = a[:, 0], a[:, 1]
    assert borrows.write(first) == GRANTED
    assert borrows.write(second) == GRANTED
    assert borrows.read(a) == REFUSED
    assert borrows.read(a[:, 1]) == REFUSED, "an equal view meets the writer of its own key"


@pytest.mark.parametrize(
    "first_mode, first, second_mode, second, together",
    [
        pytest.param("write", lambda a: a[0:2], "read", lambda a: a[2:4], True, id="adjacent"),
        pytest.param("write", lambda a: a[0:3], "read", lambda a: a[2:4], False, id="overlap"),
        pytest.param("read", lambda a: a, "write", lambda a: a[::2], False, id="same-data"),
        pytest.param("write", lambda a: a[0::2], "write", lambda a: a[1::2], True, id="interleaved"),
        pytest.param("write", lambda a: a[0::2], "read", lambda a: a[2::2], False, id="shifted"),
        # 0, 3, 6 and 1, 3, 5, 7 share element 3.
        pytest.param("write", lambda a: a[0::3], "read", lambda a: a[1::2], False, id="lattices-meet"),
        pytest.param("write", lambda a: a[0::4], "write", lambda a: a[2::4], True, id="lattices-apart"),
        pytest.param("read", lambda a: a[::-1], "write", lambda a: a[3:5], False, id="reversed"),
        pytest.param("write", lambda a: a[::-2], "write", lambda a: a[0::2], True, id="reversed-odd"),
        pytest.param(
            "write", lambda a: a.reshape(2, 4).T, "read", lambda a: a[5:6], False, id="transposed"
        ),
        pytest.param(
            "write",
            lambda a: a.reshape(4, 2)[1],
            "write",
            lambda a: a.reshape(4, 2)[2],
            True,
            id="rows",
        ),
        pytest.param("read", lambda a: a[1:3], "read", lambda a: a[1:3], True, id="equal-reads"),
        pytest.param("read", lambda a: a[1:3], "write", lambda a: a[1:3], False, id="equal-write"),
    ],
)
def test_views_of_one_array(borrows, first_mode, first, second_mode, second, together):
    a = words()
    for (mode_a, view_a), (mode_b, view_b) in [
        ((first_mode, first), (second_mode, second)),
        ((second_mode, second), (first_mode, first)),
    ]:
        assert getattr(borrows, mode_a)(view_a(a)) == GRANTED
        assert getattr(borrows, mode_b)(view_b(a)) == (GRANTED if together else REFUSED)
        borrows.end_all()
    assert borrows.registry.is_free(a)


def test_write_borrow_of_a_read_only_array_registers_nothing(borrows):
    a = words()
    read_only = a.view()
    read_only.flags.writeable = False
    assert borrows.write(read_only) == NOT_WRITEABLE
    # The view has the key of `a` itself: a registered writer would refuse this.
    assert borrows.write(a) == GRANTED
    borrows.end(a)
    assert borrows.read(read_only) == GRANTED


def test_arrays_over_one_buffer_object_are_checked_against_each_other(borrows):
    buffer = bytearray(64)
    first = np.ndarray((4,), np.uint64, buffer=buffer)
    second = np.ndarray((4,), np.uint64, buffer=buffer, offset=16)
    third = np.ndarray((4,), np.uint64, buffer=buffer, offset=32)
    assert first.base is buffer and second.base is buffer
    # A chain of two arrays ending at the same bytearray.
    assert borrows.write(first[1:3]) == GRANTED
    assert borrows.read(second) == REFUSED
    assert borrows.read(third) == GRANTED


def test_arrays_over_different_objects_are_never_compared(borrows):
    buffer = bytearray(64)
    arrays = [
        np.ndarray((8,), np.uint64, buffer=buffer),
        np.frombuffer(buffer, np.uint64),  # its base is a memoryview of its own
        np.frombuffer(memoryview(buffer), np.uint64),
    ]
    assert len({id(array.base) for array in arrays}) == 3
    for array in arrays:
        assert borrows.write(array) == GRANTED


@pytest.mark.parametrize(
    "empty",
    [lambda a: a[:0], lambda a: a[8:], lambda a: a.reshape(4, 2)[:, :0]],
    ids=["at-start", "at-end", "no-columns"],
)
def test_empty_views_at_the_edges_cover_no_bytes(borrows, empty):
    a = words()
    assert borrows.write(a) == GRANTED
    assert borrows.read(empty(a)) == GRANTED
    borrows.end_all()
    assert borrows.write(empty(a)) == GRANTED
    assert borrows.write(a) == GRANTED


def test_broadcast_view_conflicts_only_where_it_reads(borrows):
    a = words()
    row = np.broadcast_to(a[1:2], (3, 2))
    assert row.strides == (0, 0)
    assert borrows.read(row) == GRANTED
    assert borrows.write(a[0::2]) == GRANTED
    assert borrows.write(a[1::2]) == REFUSED
    assert borrows.write(a[1:2]) == REFUSED


@pytest.mark.parametrize("offset, conflict", [(0, True), (4, True), (8, False)])
def test_two_broadcast_views(borrows, offset, conflict):
    # Both keys have a stride gcd of 0; at offset 4 they overlap by four bytes.
    buffer = bytearray(24)
    first = np.ndarray((3,), np.uint64, buffer=buffer, strides=(0,))
    second = np.ndarray((2, 2), np.uint64, buffer=buffer, offset=offset, strides=(0, 0))
    assert borrows.write(first) == GRANTED
    assert borrows.read(second) == (REFUSED if conflict else GRANTED)


@pytest.mark.parametrize(
    "held, stray, target",
    [
        (None, "release", lambda a: a),
        (None, "release_mut", lambda a: a),
        ("read", "release", lambda a: a[1:]),
        ("read", "release_mut", lambda a: a[1:]),
        ("write", "release", lambda a: a[1:]),
        ("write", "release_mut", lambda a: a[1:]),
        ("write", "release", lambda a: a),
        ("read", "release_mut", lambda a: a),
    ],
    ids=[
        "read-unknown-base",
        "write-unknown-base",
        "read-unknown-key-reader",
        "write-unknown-key-reader",
        "read-unknown-key-writer",
        "write-unknown-key-writer",
        "read-of-writer",
        "write-of-reader",
    ],
)
def test_stray_release_is_ignored(registry, borrows, held, stray, target):
    a = words()
    if held is not None:
        assert getattr(borrows, held)(a) == GRANTED
    getattr(registry, stray)(target(a))
    if held == "read":
        assert registry.acquire_mut(a) == REFUSED
    elif held == "write":
        assert registry.acquire(a) == REFUSED
    borrows.end_all()
    assert registry.is_free(a)


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.float32, np.uint64, np.complex128])
def test_range_ends_one_element_past_the_last(borrows, dtype):
    a = np.zeros(8, dtype)
    size = a.itemsize
    raw = a.view(np.uint8)
    assert borrows.write(a[0:4]) == GRANTED
    assert borrows.read(raw[4 * size - 1 : 4 * size]) == REFUSED, "last byte of element 3"
    assert borrows.read(raw[4 * size : 4 * size + 1]) == GRANTED, "first byte of element 4"


# A record of another module, version 2, whose functions log their calls.
FOREIGN_RECORD = """
import ctypes, json
import numpy as np
import numpy.core.multiarray as multiarray
from support.registry import (
    CAPSULE_NAME, AcquireFunction, Record, ReleaseFunction, capsule)

calls = []

def logged(kind, name, answer=None):
    def function(flags, array):
        calls.append([name, flags, array])
        return answer
    return kind(function)

record = Record(
    2, 0x5EED,
    logged(AcquireFunction, "acquire", {answer}),
    logged(AcquireFunction, "acquire_mut", 0),
    logged(ReleaseFunction, "release"),
    logged(ReleaseFunction, "release_mut"),
)
published = capsule(ctypes.addressof(record))
setattr(multiarray, CAPSULE_NAME, published)

import palettra

class NoShape:
    pass

palette = np.array([[1, 2, 3]], np.uint64)
try:
    outcome = palettra.convert({img}, palette).tolist()
except BaseException as error:
    outcome = [type(error).__name__, str(error)]
print(json.dumps({{
    "outcome": outcome,
    "calls": calls,
    "palette": id(palette),
    "kept": getattr(multiarray, CAPSULE_NAME) is published,
}}))
"""


@pytest.mark.parametrize(
    "answer, img, outcome, released",
    [
        (0, "np.zeros((1, 1, 3), np.uint8)", [[[1, 2, 3]]], True),
        (0, "NoShape()", ["AttributeError", "'NoShape' object has no attribute 'shape'"], True),
        (-1, "np.zeros((1, 1, 3))", ["PanicException", "borrow of the array was refused: AlreadyBorrowed"], False),
        (-2, "np.zeros((1, 1, 3))", ["PanicException", "Unexpected return code -2 from borrow checking API"], False),
        (1, "np.zeros((1, 1, 3))", ["PanicException", "Unexpected return code 1 from borrow checking API"], False),
    ],
    ids=["granted", "failing-call", "refused", "not-writeable-code", "odd-code"],
)
def test_a_record_of_another_module_is_used_through_its_fields(answer, img, outcome, released):
    seen = run_json(FOREIGN_RECORD.format(answer=answer, img=img))
    assert seen["outcome"] == outcome
    read = [0x5EED, seen["palette"]]
    assert seen["calls"] == [["acquire", *read]] + ([["release", *read]] if released else [])
    assert seen["kept"]


# The attribute as another party left it; each call that finds it panics, and
# once it is gone palettra publishes its own record.
UNUSABLE_RECORD = """
import ctypes, json
import numpy as np
import numpy.core.multiarray as multiarray
from support.registry import CAPSULE_NAME, Record, capsule

record = Record(0)
{setup}
setattr(multiarray, CAPSULE_NAME, attribute)

import palettra

def attempt():
    try:
        return palettra.convert(np.zeros((1, 1, 3), np.uint8), np.ones((1, 3), np.uint64)).tolist()
    except BaseException as error:
        return [type(error).__name__, str(error)]

outcomes = [attempt(), attempt()]
delattr(multiarray, CAPSULE_NAME)
outcomes.append(attempt())
outcomes.append(type(getattr(multiarray, CAPSULE_NAME)).__name__)
print(json.dumps(outcomes))
"""

REGISTRY_ERROR = "Interal borrow checking API error: PendingError { type: <class '%s'>, value: %s, traceback: None }"


@pytest.mark.parametrize(
    "setup, error",
    [
        (
            "attribute = capsule(ctypes.addressof(record))",
            REGISTRY_ERROR
            % (
                "TypeError",
                "TypeError('Version 0 of borrow checking API is not supported by this version of palettra')",
            ),
        ),
        (
            "attribute = 'a record'",
            REGISTRY_ERROR % ("TypeError", "TypeError(\"'str' object cannot be converted to 'PyCapsule'\")"),
        ),
        (
            # A capsule whose pointer was cleared behind its back.
            "attribute = capsule(ctypes.addressof(record))\n"
            "ctypes.c_void_p.from_address(id(attribute) + 16).value = None",
            REGISTRY_ERROR
            % ("ValueError", "ValueError('PyCapsule_GetPointer called with invalid PyCapsule object')"),
        ),
    ],
    ids=["version-0", "not-a-capsule", "null-pointer"],
)
def test_an_unusable_record_fails_every_call_until_replaced(setup, error):
    first, second, after, published = run_json(UNUSABLE_RECORD.format(setup=setup))
    assert first == ["PanicException", error]
    assert second == first
    assert after == [[[1, 1, 1]]]
    assert published == "PyCapsule"


@pytest.mark.parametrize("seed", range(3))
def test_many_bases_against_a_model(registry, seed):
    # Hundreds of bases borrowed and given back in random order, so that the
    # registry's table grows and closes the gaps that released bases leave.
    rng = np.random.default_rng(seed)
    arrays = [words(2) for _ in range(400)]
    readers = [0] * len(arrays)  # -1: one writer
    for _ in range(6000):
        k = int(rng.integers(len(arrays)))
        action = rng.integers(4)
        if action == 0:
            assert registry.acquire(arrays[k]) == (REFUSED if readers[k] < 0 else GRANTED)
            readers[k] += readers[k] >= 0
        elif action == 1:
            assert registry.acquire_mut(arrays[k]) == (GRANTED if readers[k] == 0 else REFUSED)
            readers[k] = readers[k] or -1
        elif readers[k] > 0:
            registry.release(arrays[k])
            readers[k] -= 1
        elif readers[k] < 0:
            registry.release_mut(arrays[k])
            readers[k] = 0
    for array, held in zip(arrays, readers):
        assert registry.is_free(array) == (held == 0)
        for _ in range(max(held, 0)):
            registry.release(array)
        if held < 0:
            registry.release_mut(array)
        assert registry.is_free(array)
