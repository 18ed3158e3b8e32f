"""palettra belongs to the first interpreter of the process that imports it."""

import json
import subprocess
import sys
import textwrap
from urllib.parse import urlparse

import pytest

REFUSAL = "palettra does not yet support subinterpreters, see "

# Runs in a fresh process; `in_sub(code)` runs `code` in one shared legacy
# sub-interpreter, whose reports arrive on standard output as JSON lines.
PRELUDE = r'''
import json, os, sys
try:
    import _xxsubinterpreters as interpreters
except ImportError:
    try:
        import _interpreters as interpreters
    except ImportError:
        print(json.dumps("no sub-interpreters"))
        raise SystemExit(0)


def legacy_interpreter():
    # An isolated interpreter refuses every single-phase module before its
    # init function runs, so it would never reach the module's own check.
    try:
        return interpreters.create(isolated=False)
    except TypeError:
        return interpreters.create("legacy")


SUB = legacy_interpreter()
SUB_PRELUDE = """
import json, os, warnings
warnings.simplefilter("ignore")  # NumPy warns about sub-interpreters.
def report(value):
    os.write(1, (json.dumps(value) + "\\n").encode())
def try_import():
    try:
        import palettra
    except ImportError as error:
        return "ImportError: " + str(error)
    return "imported"
def try_convert():
    import numpy as np, palettra
    image = np.array([[[200, 30, 30]]], np.uint8)
    palette = np.array([[0, 0, 0], [255, 255, 255], [255, 0, 0]], np.uint64)
    return palettra.convert(image, palette).tolist()
"""


def in_sub(code):
    run = getattr(interpreters, "run_string", None) or interpreters.exec
    failure = run(SUB, SUB_PRELUDE + code)
    assert failure is None, failure


def report(value):
    print(json.dumps(value), flush=True)


def try_import():
    try:
        import palettra
    except ImportError as error:
        return "ImportError: " + str(error)
    return "imported"
'''

EPILOGUE = """
interpreters.destroy(SUB)
report("done")
"""


def run_reports(code):
    program = PRELUDE + textwrap.dedent(code) + EPILOGUE
    completed = subprocess.run(
        [sys.executable, "-c", program], capture_output=True, text=True, timeout=120
    )
    assert completed.returncode == 0, completed.stderr
    reports = [json.loads(line) for line in completed.stdout.splitlines()]
    if reports == ["no sub-interpreters"]:
        pytest.skip("this interpreter offers no sub-interpreters")
    assert reports[-1] == "done", completed.stderr
    return reports[:-1]


def assert_refusal(outcome):
    prefix = "ImportError: " + REFUSAL
    assert outcome.startswith(prefix)
    address = urlparse(outcome[len(prefix):])
    assert address.scheme == "https" and address.netloc
    # The page belongs to this project: no other project's name in the path.
    names = [part for part in address.path.split("/") if part and not part.isdigit()]
    assert set(names) <= {"palettra", "issues"} and "palettra" in names


def test_import_in_a_sub_interpreter_after_the_main_one_is_refused():
    main_first, sub_then, main_after = run_reports(
        """
        report(try_import())
        in_sub("report(try_import())")
        import numpy as np, palettra
        image = np.full((1, 1, 3), 254, np.uint8)
        report(palettra.convert(image, np.array([[255, 255, 255]], np.uint64)).tolist())
        """
    )
    assert main_first == "imported"
    assert_refusal(sub_then)
    assert main_after == [[[255, 255, 255]]]


@pytest.mark.skipif(
    sys.version_info >= (3, 13),
    reason="the interpreter runs a single-phase init function in the main interpreter first",
)
def test_first_import_in_a_sub_interpreter_makes_it_the_owner():
    sub_first, converted, main_then, main_again, sub_after = run_reports(
        """
        in_sub("report(try_import()); report(try_convert())")
        report(try_import())
        report("palettra" in sys.modules)
        in_sub("report(try_convert())")
        """
    )
    assert sub_first == "imported"
    assert converted == [[[255, 0, 0]]]
    assert_refusal(main_then)
    assert main_again is False
    assert sub_after == [[[255, 0, 0]]]


@pytest.mark.skipif(sys.version_info < (3, 13), reason="the sub-interpreter runs its own init")
def test_import_in_a_sub_interpreter_first_runs_init_in_the_main_one():
    sub_first, main_then = run_reports(
        """
        in_sub("report(try_import())")
        report(try_import())
        """
    )
    assert_refusal(sub_first)
    assert main_then == "imported"


def test_refused_import_can_be_retried_with_the_same_answer():
    outcomes = run_reports(
        """
        import palettra
        in_sub("report(try_import()); report(try_import())")
        """
    )
    assert len(outcomes) == 2 and outcomes[0] == outcomes[1]
    assert_refusal(outcomes[0])
