"""Calls of convert with one allocation after another made to fail.

Run in a process of its own (see tests/test_allocation_failures.py): a fault
found here may end the process, and the interpreter's allocation hook would
otherwise disturb the test runner too.

Two hooks make allocations fail: the interpreter's own (`_testcapi`), which
fails the Python object allocations of palettra.convert and of everything it
calls, and the test module's switch, which fails the C++ allocations of its
copy of the module's code (`_palettra_testing.convert`). For every position N
the call runs twice, once with only allocation N failing and once with every
allocation from N on failing; the sweep ends at the first N from which the
call no longer needs to allocate.
"""

import gc
import json
import os
import signal
import sys

import numpy as np

from support.registry import CAPSULE_NAME, Registry, multiarray

LAST_POSITION = 20_000
# A constructor that must not fail and fails reports a panic, not the
# MemoryError behind it (which is printed), as it does for any other cause.
CONSTRUCTOR_FAILED = ("Python API call failed",)


class Picture(dict):
    """An image read through item access: {(i, j, k): value}. A missing
    item raises KeyError; no Python code runs to read an item."""

    def __init__(self, rows, missing=None):
        super().__init__(
            ((i, j, k), value) for i, row in enumerate(rows) for j, pixel in enumerate(row) for k, value in enumerate(pixel)
        )
        self.shape = (len(rows), len(rows[0]), 3)
        self.pop(missing, None)


class RaisingShape:
    def __init__(self, error_type):
        self.error_type = error_type

    @property
    def shape(self):
        raise self.error_type("raised again")


def palette_of(rows):
    return np.array(rows, dtype=np.uint64).reshape(-1, 3)


PALETTE = palette_of([[0, 0, 0], [255, 255, 255], [200, 30, 30], [30, 200, 30]])


def calls(panic_type):
    """Each path: the arguments of convert, and the objects whose references it must give back."""
    direct = (np.arange(18, dtype=np.uint8).reshape(2, 3, 3) * 14).astype(np.uint8)
    large = (np.arange(1, 19, dtype=np.uint64).reshape(3, 2, 3) << np.uint64(40)) + np.uint64(7)
    large_palette = palette_of([[0, 0, 0], [1 << 44, 1 << 43, 1 << 42], [1 << 40, 1 << 41, 1 << 45]])
    empty = np.zeros((0, 3), dtype=np.uint64)
    picture = Picture([[[1, 2, 3], [250, 251, 252]], [[201, 29, 31], [40, 190, 20]]])
    negative = Picture([[[1, 2, 3], [4, -5, 6]]])
    failing = Picture([[[1, 2, 3], [4, 5, 6]]], missing=(0, 1, 2))
    panicking = RaisingShape(panic_type)
    return {
        "direct": ((direct, PALETTE), {}, [direct, PALETTE]),
        "large": ((large, large_palette), {}, [large, large_palette]),
        "items": ((picture, PALETTE), {}, [picture, picture[1, 0, 1], PALETTE]),
        "empty_palette": ((direct, empty), {}, [direct, empty]),
        "no_arguments": ((), {}, []),
        "unexpected_keyword": ((1, 2), {"zz": 3}, []),
        "palette_type": ((direct, [[1, 2, 3]]), {}, [direct]),
        "bad_value": ((negative, PALETTE), {}, [negative, PALETTE]),
        "failing_item": ((failing, PALETTE), {}, [failing, PALETTE]),
        "resumed_panic": ((panicking, PALETTE), {}, [panicking, PALETTE]),
    }


def attempt(function, args, kwargs, arm=lambda: None, disarm=lambda: None):
    """function(*args, **kwargs)'s result or exception, with only the armed
    allocations failing."""
    # The frame object exists before anything fails: the interpreter would
    # otherwise make it for the traceback, and without memory for it the
    # exception itself can get lost on the way here.
    sys._getframe()
    arm()
    try:
        outcome = function(*args, **kwargs)
    except BaseException as error:  # noqa: BLE001 - PanicException is a BaseException
        outcome = error
    disarm()
    return outcome


def settle(outcome):
    """A comparable summary of `outcome`; drops everything it kept alive."""
    for name in ("last_exc", "last_type", "last_value", "last_traceback"):
        setattr(sys, name, None)
    if isinstance(outcome, BaseException):
        return ("raised", type(outcome), outcome.args)
    return ("returned", outcome.dtype, outcome.shape, outcome.tobytes())


def references(objects):
    return [sys.getrefcount(o) for o in objects]


class Sweep:
    def __init__(self, hook):
        if hook == "interpreter":
            import _testcapi

            import palettra

            self.convert = palettra.convert
            self.fail = _testcapi.set_nomemory
            self.allow = _testcapi.remove_mem_hooks
            self.nesting_depth = None
        else:
            import _palettra_testing as testing

            self.convert = testing.convert
            self.fail = testing.fail_allocations
            self.allow = testing.allow_allocations
            self.nesting_depth = testing.nesting_depth
        self.hook = hook

    def panic_type(self):
        """This module's PanicException, as a palette of one column raises it."""
        return type(attempt(self.convert, (np.zeros((1, 1, 3), np.uint8), np.zeros((1, 1), np.uint64)), {}))

    def acceptable(self, summary, normal, panic_type):
        if summary == normal or summary[:2] == ("raised", MemoryError):
            return True
        # Panics that report the interpreter's failure: a constructor that
        # must not fail, and a failing step whose panic carries its error.
        if summary[:2] == normal[:2] and "<failed to extract type name>" in summary[2][0]:
            return True  # The downcast message's stand-in for a name it cannot get.
        return summary[:2] == ("raised", panic_type) and (
            summary[2] == CONSTRUCTOR_FAILED or "type: <class 'MemoryError'>" in summary[2][0]
        )

    def run(self, path):
        panic_type = self.panic_type()
        args, kwargs, watched = calls(panic_type)[path]
        registry = Registry(getattr(multiarray(), CAPSULE_NAME))
        normal = settle(attempt(self.convert, args, kwargs))
        gc.collect()
        before = references(watched)
        problems = []
        for position in range(LAST_POSITION):
            for stop in (position + 1, 0):
                summary = settle(attempt(self.convert, args, kwargs, lambda: self.fail(position, stop), self.allow))
                if not self.acceptable(summary, normal, panic_type):
                    problems.append(f"position {position}, until {stop}: {summary[:3]!r}")
                if references(watched) != before:
                    gc.collect()
                    if references(watched) != before:
                        problems.append(f"position {position}, until {stop}: references {references(watched)} != {before}")
                        before = references(watched)
                if not all(registry.is_free(a) for a in watched if isinstance(a, np.ndarray)):
                    problems.append(f"position {position}, until {stop}: a borrow is left")
                if self.nesting_depth is not None and self.nesting_depth() != 0:
                    problems.append(f"position {position}, until {stop}: nesting depth {self.nesting_depth()}")
            if summary == normal:
                return {"positions": position + 1, "problems": problems[:20]}
        return {"positions": LAST_POSITION, "problems": problems[:20] + ["the call never stopped allocating"]}


def sweep_import():
    """Loads palettra afresh in a child process for every position. The
    module is found first: the import system's own work is not under test."""
    import _testcapi
    import importlib.util

    spec = importlib.util.find_spec("palettra")
    problems = []
    for position in range(LAST_POSITION):
        statuses = []
        for stop in (position + 1, 0):
            child = os.fork()
            if child == 0:
                signal.alarm(60)
                os._exit(_load_in_child(_testcapi, spec, position, stop))
            statuses.append(os.waitstatus_to_exitcode(os.waitpid(child, 0)[1]))
            if statuses[-1] not in (0, 1):
                problems.append(f"position {position}, until {stop}: exit status {statuses[-1]}")
        if statuses[-1] == 0:
            return {"positions": position + 1, "problems": problems[:20]}
    return {"positions": LAST_POSITION, "problems": problems[:20] + ["the import never stopped allocating"]}


def _load_in_child(_testcapi, spec, position, stop):
    """0 when loading succeeded, 1 when it raised as it may and a retry works."""
    import importlib.util

    _testcapi.set_nomemory(position, stop)
    try:
        importlib.util.module_from_spec(spec)
    except BaseException as error:  # noqa: BLE001
        _testcapi.remove_mem_hooks()
        failed = error
    else:
        _testcapi.remove_mem_hooks()
        failed = None
    expected_panic = type(failed).__name__ == "PanicException" and (
        failed.args == CONSTRUCTOR_FAILED or failed.args[0].startswith("could not append __name__ to __all__: ")
    )
    if not (failed is None or type(failed) is MemoryError or expected_panic):
        print(f"loading raised {failed!r}", file=sys.stderr)
        return 3
    module = importlib.util.module_from_spec(spec)
    if module.__all__ != ["convert"] or module.convert(np.zeros((1, 1, 3), np.uint8), PALETTE).shape != (1, 1, 3):
        return 4
    return 0 if failed is None else 1


def main(hook, path):
    report = sweep_import() if path == "import" else Sweep(hook).run(path)
    print(json.dumps(report))
