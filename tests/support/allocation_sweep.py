"""Calls of convert with one allocation after another made to fail.

Run in a process of its own (see tests/test_allocation_failures.py): a fault
found here may end the process, and the interpreter's allocation hook would
otherwise disturb the test runner too.

Two hooks make allocations fail: the interpreter's own (`_testcapi`), which
fails the Python object allocations of palettra.convert, of the engine's
functions (palettra_tools._engine) and of everything they call, and the test
module's switch, which fails the C++ allocations of its copy of their code
(`_palettra_testing.convert` and the engine's functions beside it). For every
position N the call runs twice, once with only allocation N failing and once
with every allocation from N on failing; the sweep ends at the first N from
which the call no longer needs to allocate.
"""

import gc
import json
import os
import pathlib
import signal
import sys
import traceback

import numpy as np

from support.registry import CAPSULE_NAME, Registry, multiarray

ENGINE_FUNCTIONS = ["nearest_indices", "diffuse", "order"]
# What happens once per process.
FIRST_TIME_PATHS = ("import", "engine_import", "first_call")

LAST_POSITION = 20_000
# Panics that report a failure of the interpreter: a constructor that must
# not fail, and steps whose panic carries the pending error (whose rendering
# may itself have run out of memory) or has printed it.
REPORTING_PANICS = (
    "Python API call failed",
    "could not append __name__ to __all__: ",
    "failed to create type object for BufferOwner",
    "Failed to access NumPy array API capsule: ",
    "Failed to create slice container: ",
    "Interal borrow checking API error: ",
)


def may_raise(error_type, args):
    """Whether running out of memory may end a call with this exception
    (NumPy raises a MemoryError of its own). Each module has a PanicException
    of its own."""
    is_panic = (error_type.__module__, error_type.__name__) == ("palettra_runtime", "PanicException")
    return issubclass(error_type, MemoryError) or (is_panic and args[0].startswith(REPORTING_PANICS))


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
    """Each path: the function, its arguments, and the objects whose
    references it must give back."""
    # Large enough for the searches that build tables of their own.
    direct = np.random.default_rng(5).integers(0, 256, size=(64, 48, 3), dtype=np.uint8)
    many = np.random.default_rng(6).integers(0, 256, size=(40, 3)).astype(np.uint64)
    large = direct.astype(np.uint64) << np.uint64(30)
    large_palette = many << np.uint64(30)
    empty = np.zeros((0, 3), dtype=np.uint64)
    picture = Picture([[[1, 2, 3], [250, 251, 252]], [[201, 29, 31], [40, 190, 20]]])
    negative = Picture([[[1, 2, 3], [4, -5, 6]]])
    failing = Picture([[[1, 2, 3], [4, 5, 6]]], missing=(0, 1, 2))
    listed = Picture([[[1, 2, 3]]])
    listed.shape = list(listed.shape)
    panicking = RaisingShape(panic_type)
    # The engine's functions fill `out`, set back before every call.
    out = np.zeros(direct.shape[:2], dtype=np.uint8)
    offsets = np.arange(4 * 4 * 3, dtype=np.int64).reshape(4, 4, 3) - 24
    codes = np.arange(256, dtype=np.uint32)
    beyond = many + np.uint64(1000)
    return {
        "direct": ("convert", (direct, many), {}, [direct, many]),
        "large": ("convert", (large, large_palette), {}, [large, large_palette]),
        "items": ("convert", (picture, PALETTE), {}, [picture, picture[1, 0, 1], PALETTE]),
        "empty_palette": ("convert", (direct, empty), {}, [direct, empty]),
        "no_arguments": ("convert", (), {}, []),
        "unexpected_keyword": ("convert", (1, 2), {"zz": 3}, []),
        "palette_type": ("convert", (direct, [[1, 2, 3]]), {}, [direct]),
        "bad_value": ("convert", (negative, PALETTE), {}, [negative, PALETTE]),
        "bad_shape": ("convert", (listed, PALETTE), {}, [listed, listed.shape, PALETTE]),
        "failing_item": ("convert", (failing, PALETTE), {}, [failing, PALETTE]),
        "resumed_panic": ("convert", (panicking, PALETTE), {}, [panicking, PALETTE]),
        "indices": ("nearest_indices", (direct, many, out), {}, [direct, many, out]),
        "diffuse": ("diffuse", (direct, many, out, "floyd-steinberg", True, 4096, 1 << 20, True, None, 1 << 18, 1), {}, [direct, many, out]),
        "order": ("order", (direct, many, out, offsets, 1, 2, 255, False, codes), {}, [direct, many, out, offsets, codes]),
        "wavefront": ("diffuse", (direct, many, out, "sierra", False, 4096, 255, False, None, 0, 3), {}, [direct, many, out]),
        "unknown_method": ("diffuse", (direct, many, out, "nearest-ish", False, 4096, 255, False, None, 0, 1), {}, [direct, many, out]),
        "palette_range": ("order", (direct, beyond, out, offsets, 0, 0, 255, False, None), {}, [direct, beyond, out, offsets]),
    }


def output_of(args):
    """The index map an engine function fills, if it is one of its arguments."""
    return args[2] if len(args) > 2 and isinstance(args[2], np.ndarray) else None


def attempt(function, args, kwargs, arm=lambda: None, disarm=lambda: None):
    """function(*args, **kwargs)'s result or exception, with only the armed
    allocations failing."""
    if (out := output_of(args)) is not None:
        out.fill(255)
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


def settle(outcome, args):
    """A comparable summary of `outcome`, what the call filled included;
    drops everything it kept alive."""
    for name in ("last_exc", "last_type", "last_value", "last_traceback"):
        setattr(sys, name, None)
    if isinstance(outcome, BaseException):
        return ("raised", type(outcome), outcome.args)
    if outcome is None:
        return ("returned", None, output_of(args).tobytes())
    return ("returned", outcome.dtype, outcome.shape, outcome.tobytes())


def references(objects):
    return [sys.getrefcount(o) for o in objects]


class Sweep:
    def __init__(self, hook):
        if hook == "interpreter":
            import _testcapi

            import palettra
            from palettra_tools import _engine

            self.functions = {"convert": palettra.convert} | {name: getattr(_engine, name) for name in ENGINE_FUNCTIONS}
            self.fail = _testcapi.set_nomemory
            self.allow = _testcapi.remove_mem_hooks
            self.nesting_depth = None
        else:
            import _palettra_testing as testing

            self.functions = {name: getattr(testing, name) for name in ["convert", *ENGINE_FUNCTIONS]}
            self.fail = testing.fail_allocations
            self.allow = testing.allow_allocations
            self.nesting_depth = testing.nesting_depth

    def panic_type(self):
        """This module's PanicException, as a palette of one column raises it."""
        return type(attempt(self.functions["convert"], (np.zeros((1, 1, 3), np.uint8), np.zeros((1, 1), np.uint64)), {}))

    @staticmethod
    def acceptable(summary, normal):
        if summary == normal:
            return True
        if summary[:2] == normal[:2] and "<failed to extract type name>" in summary[2][0]:
            return True  # The downcast message's stand-in for a name it cannot get.
        return summary[0] == "raised" and may_raise(summary[1], summary[2])

    def run(self, path):
        name, args, kwargs, watched = calls(self.panic_type())[path]
        function = self.functions[name]
        registry = Registry(getattr(multiarray(), CAPSULE_NAME))
        normal = settle(attempt(function, args, kwargs), args)
        gc.collect()
        before = references(watched)
        problems = []
        for position in range(LAST_POSITION):
            # Only allocation N failing, then all from N on: the last tells
            # when the call needs no more.
            for stop in (position + 1, 0):
                outcome = attempt(function, args, kwargs, lambda: self.fail(position, stop), self.allow)
                summary = settle(outcome, args)
                del outcome
                if not self.acceptable(summary, normal):
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


def engine_location():
    """Where palettra_tools._engine is loaded from, found without importing
    palettra_tools, which would load it."""
    import importlib.util

    package = importlib.util.find_spec("palettra_tools")
    (path,) = [p for d in package.submodule_search_locations for p in pathlib.Path(d).glob("_engine.*.so")]
    return importlib.util.spec_from_file_location("palettra_tools._engine", path)


def load(location):
    # Only the loader's own step: how importlib's Python code copes without
    # memory is not under test (it can loop for ever when none comes back).
    module = location.loader.create_module(location)
    assert module.__all__ == (ENGINE_FUNCTIONS if location.name == "palettra_tools._engine" else ["convert"])
    return module


def first_call(module):
    image = np.full((2, 2, 3), 250, dtype=np.uint8)
    assert module.convert(image, PALETTE).tolist() == [[[255, 255, 255]] * 2] * 2


def sweep_first_time(path):
    """Runs what happens once per process, loading palettra or the engine,
    or palettra's first call, in a child process of its own for every position."""
    import _testcapi as capi
    import importlib.util

    location = engine_location() if path == "engine_import" else importlib.util.find_spec("palettra")
    step, argument = (first_call, load(location)) if path == "first_call" else (load, location)
    # The first call imports this; how NumPy imports itself is not under test.
    multiarray()
    problems = []
    for position in range(LAST_POSITION):
        for stop in (position + 1, 0):
            child = os.fork()
            if child == 0:
                _in_child(lambda: _first_time(capi, step, argument, position, stop))
            status = os.waitstatus_to_exitcode(os.waitpid(child, 0)[1])
            if status not in (0, 1):
                problems.append(f"position {position}, until {stop}: exit status {status}")
        if status == 0:
            return {"positions": position + 1, "problems": problems[:20]}
    return {"positions": LAST_POSITION, "problems": problems[:20] + ["the step never stopped allocating"]}


def _in_child(run):
    """Ends this forked child with the status `run` gives, 4 if it raises."""
    status = 4
    try:
        signal.alarm(60)
        status = run()
    except BaseException:  # noqa: BLE001
        traceback.print_exc()
    finally:
        os._exit(status)


def _first_time(capi, step, argument, position, stop):
    """0 when the step succeeded, 1 when it raised as it may and a retry works."""
    capi.set_nomemory(position, stop)
    try:
        made = step(argument)
    except BaseException as error:  # noqa: BLE001
        capi.remove_mem_hooks()
        failed = error
    else:
        capi.remove_mem_hooks()
        return 0 if _panic_type_after_a_fetch(made) else 5
    if not may_raise(type(failed), failed.args):
        print(f"position {position}, until {stop}: raised {failed!r}", file=sys.stderr)
        return 3
    return 1 if _panic_type_after_a_fetch(step(argument)) else 5


def _panic_type_after_a_fetch(module):
    """Whether palettra's PanicException exists once the module has fetched
    an exception: import fetches one, and a type that could not be made then
    is made at the next fetch."""
    if getattr(module, "__name__", None) != "palettra":
        return True
    try:
        module.convert(object(), PALETTE)
    except AttributeError:
        pass
    # A type whose making failed half-way lives on in a cycle until collected.
    gc.collect()
    made = [t for t in BaseException.__subclasses__() if t.__name__ == "PanicException"]
    if len(made) != 1:
        print(f"PanicException types after a fetch: {made}", file=sys.stderr)
    return len(made) == 1


def main(hook, path):
    report = sweep_first_time(path) if path in FIRST_TIME_PATHS else Sweep(hook).run(path)
    print(json.dumps(report))
