"""Running out of memory anywhere in a call raises; it never ends the process.

Each sweep, of palettra.convert or of the companion engine's functions, fails
one allocation after another, for every position from the first to past the
last, and checks each time that the call gives its usual result (the index map
it fills included) or raises (MemoryError, or its usual exception), that every
reference and borrow it took is given back, and, in the sanitized run, that
nothing leaks by the end of the sweep. The sweeps run in processes of their
own (support/allocation_sweep.py); what happens once per process (loading a
module, palettra's first call) runs in a forked child for every position,
which ends without the leak check, since a check of the whole heap in each
child would take the sweep minutes.
"""

import importlib.util
import sys

import pytest

from support.isolated import run_json

# The sweeps count and fail allocations through the test-only module.
pytestmark = pytest.mark.test_modules

CALL_PATHS = [
    "direct",
    "large",
    "items",
    "empty_palette",
    "no_arguments",
    "unexpected_keyword",
    "palette_type",
    "bad_value",
    "bad_shape",
    "failing_item",
    "resumed_panic",
    # The companion engine's functions.
    "indices",
    "diffuse",
    "wavefront",
    "order",
    "unknown_method",
    "palette_range",
]


# Paths on which the interpreter itself, without memory, crashes in its own
# code: loading a single-phase extension (Python/import.c), and printing a
# traceback (a function object made without a name), which a resumed panic does.
INTERPRETER_CRASHES = {(3, 13, 0): {"import", "engine_import", "resumed_panic"}}


def interpreter_hook_missing():
    if importlib.util.find_spec("_testcapi") is None:
        return True
    import _testcapi

    return not hasattr(_testcapi, "set_nomemory")


@pytest.mark.parametrize(
    "hook, path",
    [("interpreter", path) for path in ["import", "engine_import", "first_call", *CALL_PATHS]] + [("native", path) for path in CALL_PATHS],
)
def test_every_allocation_may_fail(hook, path):
    if hook == "interpreter" and interpreter_hook_missing():
        pytest.skip("this interpreter has no _testcapi.set_nomemory")
    if hook == "interpreter" and path in INTERPRETER_CRASHES.get(sys.version_info[:3], ()):
        pytest.skip("this interpreter crashes in its own code when these allocations fail")
    report = run_json(f"from support.allocation_sweep import main; main({hook!r}, {path!r})")
    print(f"{hook} allocations, {path}: {report['positions']} positions injected")
    assert report["problems"] == []
    assert report["positions"] > 1
