"""Loading NumPy's API table: on first need, retried after a failure, then never again."""

import re

import pytest

from support.isolated import run_json

# Every call of convert runs in a process where numpy.core.multiarray is the
# fake below, or NumPy is absent; then the real NumPy becomes importable.
SCENARIO = """
import builtins, importlib, json, sys

fake = {fake!r}
imports = []
real_import = builtins.__import__

def watching(name, *args, **kwargs):
    if name == "numpy.core.multiarray":
        imports.append(name)
    return real_import(name, *args, **kwargs)

builtins.__import__ = watching
if fake is None:
    sys.modules["numpy"] = None
else:
    sys.path.insert(0, fake)

import palettra

def attempt(img, palette):
    imports.clear()
    try:
        outcome = palettra.convert(img, palette).tolist()
    except BaseException as error:
        outcome = [type(error).__name__, str(error)]
    return [outcome, len(imports)]

report = [attempt(None, None), attempt(None, None)]

if fake is not None:
    sys.path.remove(fake)
for name in [name for name in sys.modules if name.split(".")[0] == "numpy"]:
    del sys.modules[name]
importlib.invalidate_caches()
import numpy as np

image = np.array([[[9, 9, 9], [1, 2, 3]]], np.uint8)
palette = np.array([[1, 2, 4], [9, 9, 8]], np.uint64)
report += [attempt(image, palette), attempt(image, palette)]
print(json.dumps(report))
"""

NULL_POINTER_CAPSULE = """
import ctypes
new = ctypes.pythonapi.PyCapsule_New
new.restype = ctypes.py_object
new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
_NAME = b"_ARRAY_API"  # kept: the capsule holds only a pointer to it
_ARRAY_API = new(8, _NAME, None)
ctypes.c_void_p.from_address(id(_ARRAY_API) + 16).value = None
"""

TRACEBACK = r"<traceback object at 0x[0-9a-f]+>"
PREFIX = "Failed to access NumPy array API capsule: "


def rendering(type_name, value, traceback="None"):
    return re.escape(
        f"{PREFIX}PendingError {{ type: <class '{type_name}'>, value: {value}, traceback: "
    ) + traceback + re.escape(" }")


@pytest.mark.parametrize(
    "multiarray, expected",
    [
        (
            "",
            rendering(
                "AttributeError",
                "AttributeError(\"module 'numpy.core.multiarray' has no attribute '_ARRAY_API'\")",
            ),
        ),
        (
            "_ARRAY_API = 'table'",
            rendering("TypeError", "TypeError(\"'str' object cannot be converted to 'PyCapsule'\")"),
        ),
        (
            NULL_POINTER_CAPSULE,
            rendering(
                "ValueError", "ValueError('PyCapsule_GetPointer called with invalid PyCapsule object')"
            ),
        ),
        (
            "raise ImportError('broken build')",
            rendering("ImportError", "ImportError('broken build')", TRACEBACK),
        ),
        (
            None,
            rendering(
                "ModuleNotFoundError",
                "ModuleNotFoundError(\"No module named 'numpy.core'; 'numpy' is not a package\")",
                TRACEBACK,
            ),
        ),
    ],
    ids=["no-attribute", "not-a-capsule", "null-pointer", "import-fails", "numpy-absent"],
)
def test_table_is_loaded_once_it_can_be(tmp_path, multiarray, expected):
    fake = None
    if multiarray is not None:
        core = tmp_path / "numpy" / "core"
        core.mkdir(parents=True)
        (tmp_path / "numpy" / "__init__.py").write_text("")
        (core / "__init__.py").write_text("")
        (core / "multiarray.py").write_text(multiarray)
        fake = str(tmp_path)
    failed, failed_again, loaded, again = run_json(SCENARIO.format(fake=fake))

    for (kind, message), imports in [failed, failed_again]:
        assert kind == "PanicException"
        assert re.fullmatch(expected, message), message
        assert imports == 1, "nothing is kept from a failed load"

    (result, imports) = loaded
    assert result == [[[9, 9, 8], [1, 2, 4]]]
    assert imports > 0
    assert again == [result, 0], "a loaded table needs no import"
