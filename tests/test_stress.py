"""Many calls, many failures, several threads: nothing leaks, nothing stays borrowed."""

import os
import sys
import threading
import time

import numpy as np
import pytest

import palettra
from support.registry import panic_exception_type


class PixelObject:
    """An image whose item access is Python code, so threads switch mid-call."""

    def __init__(self, array, on_item=None):
        self.array = array
        self.shape = array.shape
        self.on_item = on_item

    def __getitem__(self, key):
        if self.on_item is not None:
            self.on_item()
        return int(self.array[key])


class RaisingImage:
    shape = (2, 2, 3)

    def __getitem__(self, key):
        if key == (1, 0, 1):
            raise KeyError("no such pixel")
        return 7


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def failing_calls(palette, image, narrow_palette):
    """Every way a caller can make convert fail, with what it raises."""
    return [
        (lambda: palettra.convert(), TypeError),
        (lambda: palettra.convert(image, palette, image), TypeError),
        (lambda: palettra.convert(image, colour=palette), TypeError),
        (lambda: palettra.convert(image, palette.astype(np.int64)), TypeError),
        (lambda: palettra.convert(image, [[1, 2, 3]]), TypeError),
        (lambda: palettra.convert(image[0], palette), ValueError),
        (lambda: palettra.convert(object(), palette), AttributeError),
        (lambda: palettra.convert(-image.astype(np.int16) - 1, palette), OverflowError),
        (lambda: palettra.convert(image.astype(np.float64), palette), TypeError),
        (lambda: palettra.convert(RaisingImage(), palette), KeyError),
        (lambda: palettra.convert(image, narrow_palette), panic_exception_type()),
    ]


def test_thousands_of_calls_leave_no_reference_borrow_or_memory_behind(registry):
    rng = np.random.default_rng(1)
    image = rng.integers(0, 256, size=(4, 5, 3), dtype=np.uint8)
    palette = rng.integers(0, 256, size=(16, 3)).astype(np.uint64)
    narrow_palette = np.zeros((2, 2), np.uint64)
    failures = failing_calls(palette, image, narrow_palette)
    watched = [image, palette, narrow_palette]

    def run(rounds):
        for _ in range(rounds):
            for call, expected in failures:
                with pytest.raises(expected):
                    call()
                palettra.convert(image, palette)

    run(50)
    counts = [sys.getrefcount(obj) for obj in watched]
    before = resident_bytes()
    run(1000)
    growth = resident_bytes() - before

    assert [sys.getrefcount(obj) for obj in watched] == counts
    assert all(registry.is_free(obj) for obj in watched)
    if not os.environ.get("PALETTRA_SANITIZED"):  # the sanitizer's quarantine holds freed memory
        assert growth < 4 * 1024 * 1024, f"resident memory grew by {growth} bytes"


def test_threads_share_palettes_with_a_writer_through_the_registry(registry):
    rng = np.random.default_rng(2)
    shared = rng.integers(0, 256, size=(8, 3)).astype(np.uint64)
    own = [rng.integers(0, 256, size=(8, 3)).astype(np.uint64) for _ in range(3)]
    palettes = [shared, *own]
    expected_by_palette = {}
    image = rng.integers(0, 256, size=(3, 4, 3), dtype=np.uint8)
    for palette in palettes:
        expected_by_palette[id(palette)] = palettra.convert(image, palette)

    lock = threading.Lock()
    readers = {id(p): 0 for p in palettes}
    inside_refused = []
    outcomes = {"converted": 0, "refused_by_writer": 0, "granted": 0, "refused": 0}
    errors = []
    stop = threading.Event()

    def try_write_inside(palette):
        # Item access runs while convert holds its read borrow.
        inside_refused.append(registry.acquire_mut(palette) == -1)
        time.sleep(0)  # let the writer run in the middle of the call

    def reader(palette, calls):
        img = PixelObject(image, on_item=lambda: try_write_inside(palette))
        try:
            for _ in range(calls):
                with lock:
                    readers[id(palette)] += 1
                try:
                    result = palettra.convert(img, palette)
                except BaseException as exc:  # a panic is a BaseException
                    if "borrow of the array was refused: AlreadyBorrowed" not in str(exc):
                        raise
                    outcome = "refused_by_writer"
                else:
                    np.testing.assert_array_equal(result, expected_by_palette[id(palette)])
                    outcome = "converted"
                finally:
                    with lock:
                        readers[id(palette)] -= 1
                # Under the lock: with a tiny switch interval an unguarded
                # += between readers can lose a count.
                with lock:
                    outcomes[outcome] += 1
        except BaseException as exc:
            errors.append(exc)

    def writer():
        try:
            while not stop.is_set():
                for palette in palettes:
                    with lock:
                        busy = readers[id(palette)] > 0
                        code = registry.acquire_mut(palette)
                    if code == 0:
                        outcomes["granted"] += 1
                        registry.release_mut(palette)
                    else:
                        # Refused only while some convert may hold a read borrow.
                        assert busy and code == -1, (busy, code)
                        outcomes["refused"] += 1
        except BaseException as exc:
            errors.append(exc)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=reader, args=(p, 30)) for p in (shared, shared, *own)]
        writing = threading.Thread(target=writer)
        writing.start()
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        stop.set()
        writing.join()
    finally:
        sys.setswitchinterval(interval)

    assert not errors, errors
    assert all(inside_refused) and inside_refused
    assert outcomes["converted"] > 0 and outcomes["granted"] > 0 and outcomes["refused"] > 0
    assert outcomes["converted"] + outcomes["refused_by_writer"] == 5 * 30
    assert all(registry.is_free(p) for p in palettes)
