"""How failures leave the module: pending errors, panics, the boundary guard."""

import gc
import re
import signal
import sys

import numpy as np
import pytest

import palettra
from support.isolated import run_isolated

PALETTE = np.array([[0, 0, 0], [9, 9, 9]], dtype=np.uint64)
PANIC_DOC = (
    "\nThe exception raised when native code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n"
)
RESUME_HEADER = [
    "--- palettra is resuming a panic after fetching a PanicException from Python. ---",
    "Python stack trace below:",
]
NO_EXCEPTION = "attempted to fetch exception but none was set"


def raised_by(call, *args):
    try:
        call(*args)
    except BaseException as error:
        return error
    pytest.fail("the call did not raise")


@pytest.fixture
def palettra_panic(registry):
    """A PanicException of palettra itself: its palette is borrowed for writing."""
    palette = np.zeros((1, 3), dtype=np.uint64)
    assert registry.acquire_mut(palette) == 0
    try:
        return raised_by(palettra.convert, np.zeros((1, 1, 3), dtype=np.uint8), palette)
    finally:
        registry.release_mut(palette)


class RaisingShape:
    """An image whose shape raises `error` (or a fresh one from a factory)."""

    def __init__(self, error):
        self.error = error

    @property
    def shape(self):
        raise self.error() if callable(self.error) else self.error


class Picture:
    """An image with a shape and a value for every (i, j, k), except that
    reading `fail_at` raises IndexError."""

    def __init__(self, shape, value=0, fail_at=None):
        self.shape = shape
        self.value = value
        self.fail_at = fail_at

    def __getitem__(self, key):
        if key == self.fail_at:
            raise IndexError(key)
        return self.value


def raiser(error):
    def raise_error():
        raise error

    return raise_error


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")

    __repr__ = __str__


@pytest.fixture
def unraisable(monkeypatch):
    """What reaches the interpreter's unraisable-exception hook."""
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    return reported


@pytest.mark.parametrize("message", ["boom", "ünïcödé ☃", ""])
def test_panic_becomes_panic_exception(testing, capfd, message):
    error = raised_by(testing.panic_with, message)
    assert type(error).__name__ == "PanicException"
    assert error.args == (message,)
    assert str(error) == message
    assert f"\n{message}\n" in capfd.readouterr().err


def test_panic_exception_type(testing, palettra_panic):
    panic_type = type(palettra_panic)
    assert panic_type.__module__ == "palettra_runtime"
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__qualname__ == "PanicException"
    assert panic_type.__doc__ == PANIC_DOC
    assert panic_type.__bases__ == (BaseException,)
    assert not issubclass(panic_type, Exception)
    assert palettra_panic.args == ("borrow of the array was refused: AlreadyBorrowed",)
    assert "PanicException" not in vars(palettra)
    # The test module is a separate copy and makes a type of its own.
    other = raised_by(testing.panic_with, "x")
    assert type(other) is not panic_type
    assert (type(other).__module__, type(other).__name__) == ("palettra_runtime", "PanicException")


def test_except_exception_does_not_catch_a_panic(testing):
    caught_by = None
    try:
        try:
            testing.panic_with("through")
        except Exception:
            caught_by = "Exception"
    except BaseException:
        caught_by = "BaseException"
    assert caught_by == "BaseException"


def test_resumed_panic_report_on_stderr(tmp_path):
    result = run_isolated(
        """
        import sys
        import numpy as np
        import palettra
        from support.registry import shared_registry

        registry = shared_registry()
        palette = np.zeros((1, 3), dtype=np.uint64)
        registry.acquire_mut(palette)
        try:
            palettra.convert(np.zeros((1, 1, 3), dtype=np.uint8), palette)
        except BaseException as error:
            first = error
        registry.release_mut(palette)

        class Image:
            @property
            def shape(self):
                raise first

        print("=== second call", file=sys.stderr, flush=True)
        try:
            palettra.convert(Image(), palette)
        except BaseException as error:
            print(type(error) is type(first), error is first, error.args)
        """,
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "True False ('borrow of the array was refused: AlreadyBorrowed',)\n"
    lines = result.stderr.split("=== second call\n", 1)[1].splitlines()
    assert lines[:3] == RESUME_HEADER + ["Traceback (most recent call last):"]
    assert any("in shape" in line for line in lines)
    assert lines[-1] == "palettra_runtime.PanicException: borrow of the array was refused: AlreadyBorrowed"
    assert not any("panicked" in line for line in lines)


@pytest.mark.parametrize(
    "argument, message",
    [
        ("a\ud800b", "a\ufffd\ufffd\ufffdb"),
        (Unprintable(), "Unwrapped panic from Python code"),
    ],
    ids=["lone-surrogate", "unprintable"],
)
def test_resumed_panic_message(palettra_panic, unraisable, argument, message):
    returned = type(palettra_panic)(argument)
    error = raised_by(palettra.convert, RaisingShape(returned), PALETTE)
    assert type(error) is type(palettra_panic)
    assert error.args == (message,)
    assert unraisable == []


def test_panic_exception_of_another_module_is_ordinary(testing, palettra_panic, capfd):
    foreign = raised_by(testing.panic_with, "elsewhere")
    capfd.readouterr()
    assert raised_by(palettra.convert, RaisingShape(foreign), PALETTE) is foreign
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("path", ["shape", "channel", "extract"])
def test_failure_without_exception_is_a_system_error(testing, path):
    silent = testing.silent_failure_object()
    call = {
        "shape": lambda: palettra.convert(silent, PALETTE),
        "channel": lambda: palettra.convert(Picture((1, 1, 3), silent), PALETTE),
        "extract": lambda: testing.extract_u64(silent),
    }[path]
    error = raised_by(call)
    assert type(error) is SystemError
    assert error.args == (NO_EXCEPTION,)


def test_constructor_failure_prints_and_panics(testing, capfd, monkeypatch):
    for name in ("last_exc", "last_type", "last_value", "last_traceback"):
        monkeypatch.setattr(sys, name, None, raising=False)
    error = raised_by(testing.fail_constructor)
    assert type(error).__name__ == "PanicException"
    assert error.args == ("Python API call failed",)
    err = capfd.readouterr().err
    assert "UnicodeDecodeError" in err
    assert err.index("UnicodeDecodeError") < err.index("Python API call failed")


@pytest.mark.parametrize(
    "exception_type",
    [int, object, ValueError("an instance"), "ValueError", None],
)
def test_lazy_error_of_a_non_exception_type(testing, exception_type):
    error = raised_by(testing.raise_lazy, exception_type, "value")
    assert type(error) is TypeError
    assert error.args == ("exceptions must derive from BaseException",)


@pytest.mark.parametrize(
    "exception_type, value, args",
    [(KeyError, "k", ("k",)), (ValueError, ("a", 2), ("a", 2)), (KeyboardInterrupt, "stop", ("stop",))],
)
def test_lazy_error_is_made_from_type_and_value(testing, exception_type, value, args):
    error = raised_by(testing.raise_lazy, exception_type, value)
    assert type(error) is exception_type
    assert error.args == args


class BadStr:
    def __str__(self):
        return 42


@pytest.mark.parametrize(
    "value, text",
    [
        ("plain", "plain"),
        ("a\ud800b\udfff", "a\ufffd\ufffd\ufffdb\ufffd\ufffd\ufffd"),
        (42, "42"),
        (Unprintable(), "<unprintable Unprintable object>"),
        (BadStr(), "<unprintable BadStr object>"),
    ],
)
def test_object_text(testing, unraisable, value, text):
    assert testing.object_text(value) == text
    if text.startswith("<unprintable"):
        assert [hook.object for hook in unraisable] == [value]
        assert type(unraisable[0].exc_value) in (RuntimeError, TypeError)
    else:
        assert unraisable == []


def test_object_repr_text(testing, unraisable):
    assert testing.object_repr_text("x") == "'x'"
    value = Unprintable()
    assert testing.object_repr_text(value) == "<unprintable Unprintable object>"
    assert [(hook.object, type(hook.exc_value)) for hook in unraisable] == [(value, RuntimeError)]


class UnrepresentableError(Exception):
    def __repr__(self):
        raise RuntimeError("no repr")


def test_debug_rendering(testing, unraisable):
    assert testing.debug_text(ValueError("x")) == (
        "PendingError { type: <class 'ValueError'>, value: ValueError('x'), traceback: None }"
    )
    assert testing.debug_text_of_message(KeyError, "k") == (
        "PendingError { type: <class 'KeyError'>, value: KeyError('k'), traceback: None }"
    )
    assert testing.debug_text(UnrepresentableError()) == (
        "PendingError { type: <class 'test_failures.UnrepresentableError'>,"
        " value: <unprintable UnrepresentableError object>, traceback: None }"
    )
    assert len(unraisable) == 1
    caught = raised_by(dict().__getitem__, "k")
    assert re.fullmatch(
        r"PendingError \{ type: <class 'KeyError'>, value: KeyError\('k'\),"
        r" traceback: <traceback object at 0x[0-9a-f]+> \}",
        testing.debug_text(caught),
    )


def test_panic_caused_by_a_pending_error(testing):
    error = raised_by(testing.panic_with_error, "could not go on", OSError(2, "gone"))
    assert type(error).__name__ == "PanicException"
    assert error.args == (
        "could not go on: PendingError { type: <class 'FileNotFoundError'>,"
        " value: FileNotFoundError(2, 'gone'), traceback: None }",
    )


@pytest.mark.test_modules
def test_panic_while_raising_aborts(tmp_path):
    result = run_isolated(
        """
        import _palettra_testing
        _palettra_testing.raise_lazy_panicking()
        print("survived")
        """,
        cwd=tmp_path,
    )
    assert result.returncode == -signal.SIGABRT
    assert result.stdout == ""
    assert result.stderr.index("the producer gave up") < result.stderr.index("uncaught panic at ffi boundary")


def test_other_exception_becomes_panic_exception(testing):
    error = raised_by(testing.throw_foreign)
    assert type(error).__name__ == "PanicException"
    assert error.args == ("panic from native code",)


def test_nesting_counter_counts_active_entries(testing):
    assert testing.nesting_depth() == 0
    assert testing.call_guarded(testing.nesting_depth) == 1
    assert testing.call_guarded(lambda: testing.call_guarded(testing.nesting_depth)) == 2


def test_nesting_counter_recovers_after_failures(testing):
    own_panic_type = type(raised_by(testing.panic_with, "own"))
    failures = [
        lambda: testing.extract_u64(-1),  # pending error
        lambda: testing.panic_with("x"),  # panic
        lambda: testing.bind_as("triple"),  # binding failure
        lambda: testing.call_guarded(raiser(own_panic_type("again"))),  # resumed panic
        lambda: testing.call_guarded(lambda: testing.extract_triple([])),  # nested entries
    ]

    def depths_after_failures():
        depths = []
        for failure in failures:
            raised_by(failure)
            depths.append(testing.nesting_depth())
        return depths

    assert depths_after_failures() == [0] * len(failures)
    inside = testing.call_guarded(lambda: (depths_after_failures(), testing.nesting_depth()))
    assert inside == ([1] * len(failures), 1)


class Item(int):
    """A fresh int object, so that its references can be counted."""


REFERENCE_CASES = {}


def reference_case(build):
    REFERENCE_CASES[build.__name__] = build
    return build


# Each case gives a failing call and the objects it is handed.


@reference_case
def too_many_positional(env):
    picture, extra = Picture((1, 1, 3)), Item(5)
    return lambda: palettra.convert(picture, env.palette, extra), [picture, extra]


@reference_case
def multiple_values(env):
    picture, extra = Picture((1, 1, 3)), Item(5)
    return lambda: palettra.convert(picture, env.palette, img=extra), [picture, extra]


@reference_case
def unexpected_keyword(env):
    picture = Picture((1, 1, 3))
    return lambda: palettra.convert(picture, palette=env.palette), [picture]


@reference_case
def missing_argument(env):
    return lambda: palettra.convert(color_palette=env.palette), []


@reference_case
def palette_rejected(env):
    picture, rows = Picture((1, 1, 3)), [[Item(1)] * 3]
    return lambda: palettra.convert(picture, rows), [picture, rows, rows[0][0]]


@reference_case
def shape_not_a_tuple(env):
    picture = Picture([1, 1, 3])
    return lambda: palettra.convert(picture, env.palette), [picture, picture.shape]


@reference_case
def shape_of_wrong_length(env):
    picture = Picture((Item(1), Item(1)))
    return lambda: palettra.convert(picture, env.palette), [picture, picture.shape, *picture.shape]


@reference_case
def shape_item_negative(env):
    picture = Picture((Item(1), Item(-1), Item(3)))
    return lambda: palettra.convert(picture, env.palette), [picture, picture.shape, *picture.shape]


@reference_case
def shape_raises(env):
    image = RaisingShape(KeyError)
    return lambda: palettra.convert(image, env.palette), [image]


@reference_case
def channel_raises(env):
    picture = Picture((Item(2), Item(2), Item(3)), Item(7), fail_at=(1, 0, 2))
    return lambda: palettra.convert(picture, env.palette), [picture, picture.value, *picture.shape]


@reference_case
def channel_negative(env):
    picture = Picture((1, 1, 3), Item(-1))
    return lambda: palettra.convert(picture, env.palette), [picture, picture.value]


@reference_case
def palette_borrowed_for_writing(env):
    picture = Picture((1, 1, 3))

    def call():
        env.registry.acquire_mut(env.palette)
        try:
            palettra.convert(picture, env.palette)
        finally:
            env.registry.release_mut(env.palette)

    return call, [picture]


@reference_case
def resumed_panic(env):
    image = RaisingShape(lambda: env.panic_type("again"))
    return lambda: palettra.convert(image, env.palette), [image]


@reference_case
def silent_failure(env):
    silent = env.testing.silent_failure_object()
    return lambda: palettra.convert(silent, env.palette), [silent]


@reference_case
def downcast_of_triple(env):
    value = Picture(None)
    return lambda: env.testing.extract_triple(value), [value, Picture]


@reference_case
def index_raises(env):
    value, broken = Item(3), BrokenIndex()
    return lambda: env.testing.extract_triple((value, broken, value)), [value, broken]


class BrokenIndex:
    def __index__(self):
        raise KeyError("k")


class Environment:
    def __init__(self, testing, registry, panic_type):
        self.testing = testing
        self.registry = registry
        self.panic_type = panic_type
        self.palette = PALETTE.copy()


@pytest.mark.parametrize("case", REFERENCE_CASES)
def test_failures_keep_reference_counts(testing, registry, palettra_panic, case):
    env = Environment(testing, registry, type(palettra_panic))
    call, objects = REFERENCE_CASES[case](env)
    objects.append(env.palette)
    raised_by(call)  # warms any cache the first call fills
    gc.collect()
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(3):
        raised_by(call)
    gc.collect()
    assert [sys.getrefcount(o) for o in objects] == before
