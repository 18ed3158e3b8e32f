"""The palettra module as import makes it."""

import inspect
import subprocess
import sys
import textwrap

import palettra


def run_python(code):
    """Runs `code` in a fresh interpreter and gives its standard output."""
    completed = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )
    assert completed.returncode == 0, completed.stderr
    return completed.stdout


def test_module_attributes():
    assert palettra.__name__ == "palettra"
    assert palettra.__doc__ == ""
    assert palettra.__all__ == ["convert"]
    assert type(palettra.__all__) is list
    names = list(vars(palettra))
    assert names.index("convert") == names.index("__all__") + 1
    assert {name for name in names if not name.startswith("__")} == {"convert"}


def test_convert_function_attributes():
    convert = palettra.convert
    assert type(convert).__name__ == "builtin_function_or_method"
    assert convert.__name__ == "convert"
    assert convert.__qualname__ == "convert"
    assert convert.__module__ == "palettra"
    assert convert.__self__ is palettra
    assert convert.__text_signature__ == "(img, color_palette)"
    assert convert.__doc__ is None
    assert list(inspect.signature(convert).parameters) == ["img", "color_palette"]


def test_import_loads_no_other_module():
    loaded = run_python(
        """
        import sys
        before = set(sys.modules)
        import palettra
        print(*sorted(set(sys.modules) - before))
        """
    )
    assert loaded.split() == ["palettra"]


def test_import_again_gives_the_same_module():
    output = run_python(
        """
        import importlib, sys
        import palettra
        first, convert = palettra, palettra.convert
        del sys.modules["palettra"]
        import palettra
        assert palettra is first, "a new module object"
        assert palettra.convert is convert, "a new function object"
        assert palettra.__all__ == ["convert"], palettra.__all__
        del sys.modules["palettra"]
        assert importlib.import_module("palettra") is first
        print("same module")
        """
    )
    assert output.split() == ["same", "module"]


def test_import_makes_the_panic_type():
    # Import fetches an exception (the missing __all__), the type's first need,
    # so the type exists before any panic.
    made = run_python(
        """
        import palettra
        print(*(t.__module__ for t in BaseException.__subclasses__() if t.__name__ == "PanicException"))
        """
    )
    assert made.split() == ["palettra_runtime"]
