"""Matching a call's arguments to parameters, and reporting a bad argument."""

import sys

import numpy as np
import pytest

import palettra
from support.oddly_named import Nameless, Outer

IMAGE = object()  # binding never looks at the image
PALETTE = np.array([[0, 0, 0], [10, 10, 10]], dtype=np.uint64)
SURROGATE = "\ud800"
REPLACED = "\ufffd" * 3


@pytest.mark.parametrize(
    "call",
    [
        lambda img, palette: palettra.convert(img, palette),
        lambda img, palette: palettra.convert(img, color_palette=palette),
        lambda img, palette: palettra.convert(img=img, color_palette=palette),
        lambda img, palette: palettra.convert(color_palette=palette, img=img),
    ],
    ids=["positional", "mixed", "keywords", "keywords-reversed"],
)
def test_arguments_bind_by_position_or_by_name(call):
    image = np.full((1, 1, 3), 9, dtype=np.uint8)
    # Swapped arguments would fail the palette test.
    assert call(image, PALETTE).tolist() == [[[10, 10, 10]]]


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "convert() missing 2 required positional arguments: 'img' and 'color_palette'"),
        ((IMAGE,), {}, "convert() missing 1 required positional argument: 'color_palette'"),
        ((), {"color_palette": PALETTE}, "convert() missing 1 required positional argument: 'img'"),
        ((IMAGE, PALETTE, IMAGE), {}, "convert() takes 2 positional arguments but 3 were given"),
        ((IMAGE, PALETTE, IMAGE), {"img": IMAGE}, "convert() takes 2 positional arguments but 3 were given"),
        ((IMAGE, PALETTE, IMAGE), {"bogus": 1}, "convert() takes 2 positional arguments but 3 were given"),
        ((IMAGE,) * 4, {}, "convert() takes 2 positional arguments but 4 were given"),
        ((IMAGE, PALETTE), {"img": IMAGE}, "convert() got multiple values for argument 'img'"),
        ((IMAGE, PALETTE), {"color_palette": PALETTE}, "convert() got multiple values for argument 'color_palette'"),
        ((IMAGE,), {"palette": PALETTE}, "convert() got an unexpected keyword argument 'palette'"),
        ((IMAGE,), {"colour": 1, "img": 2}, "convert() got an unexpected keyword argument 'colour'"),
        ((IMAGE,), {"img": 2, "colour": 1}, "convert() got multiple values for argument 'img'"),
        ((IMAGE, PALETTE), {"Img": IMAGE}, "convert() got an unexpected keyword argument 'Img'"),
        ((IMAGE,), {SURROGATE: 1}, f"convert() got an unexpected keyword argument '{REPLACED}'"),
        ((), {f"i{SURROGATE}mg": 1, "img": 2}, f"convert() got an unexpected keyword argument 'i{REPLACED}mg'"),
        ((IMAGE,), {"\uff43olor_palette": PALETTE}, "convert() got an unexpected keyword argument '\uff43olor_palette'"),
    ],
    ids=[
        "nothing",
        "no-palette",
        "no-image",
        "three-positional",
        "three-positional-and-valid-keyword",
        "three-positional-and-unknown-keyword",
        "four-positional",
        "image-twice",
        "palette-twice",
        "unknown-keyword",
        "unknown-keyword-first",
        "repeated-keyword-first",
        "case-differs",
        "lone-surrogate",
        "lone-surrogate-inside",
        "no-normalisation",
    ],
)
def test_binding_failure_messages(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        palettra.convert(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)


class Name(str):
    """A keyword name that binds by its characters but prints differently."""

    def __str__(self):
        if self == "bad":
            raise RuntimeError("no text")
        return "shown"


def test_keyword_names_match_by_text_and_print_by_str(monkeypatch):
    reported = []
    monkeypatch.setattr("sys.unraisablehook", reported.append)
    image = np.zeros((1, 1, 3), dtype=np.uint8)
    assert palettra.convert(image, **{Name("color_palette"): PALETTE}).shape == (1, 1, 3)
    with pytest.raises(TypeError) as info:
        palettra.convert(image, **{Name("other"): PALETTE})
    assert info.value.args == ("convert() got an unexpected keyword argument 'shown'",)
    bad = Name("bad")
    with pytest.raises(TypeError) as info:
        palettra.convert(image, **{bad: PALETTE})
    assert info.value.args == ("convert() got an unexpected keyword argument '<unprintable Name object>'",)
    assert [(hook.object, type(hook.exc_value)) for hook in reported] == [(bad, RuntimeError)]


def test_image_is_not_examined_by_binding():
    # Binding and the palette test pass; only reading the shape fails.
    with pytest.raises(AttributeError, match="shape"):
        palettra.convert(None, PALETTE)


class Subarray(np.ndarray):
    pass


@pytest.mark.parametrize(
    "palette, type_name",
    [
        ([[1, 2, 3]], "list"),
        (None, "NoneType"),
        (np.zeros((2, 3), dtype=np.int64), "ndarray"),
        (np.zeros(3, dtype=np.uint64).view(Subarray), "Subarray"),
        (Outer.Inner(), "Outer.Inner"),
        (Nameless(), "<failed to extract type name>"),
    ],
    ids=["list", "none", "wrong-dtype", "subclass-one-dimensional", "nested-class", "nameless"],
)
def test_rejected_palette_is_reported_under_its_argument_name(palette, type_name):
    with pytest.raises(TypeError) as info:
        palettra.convert(IMAGE, palette)
    error = info.value
    assert type(error) is TypeError
    assert error.args == (
        f"argument 'color_palette': '{type_name}' object cannot be converted to 'PyArray<T, D>'",
    )
    assert error.__cause__ is None
    assert error.__suppress_context__


def test_rewrapped_error_suppresses_the_handled_exception():
    try:
        raise KeyError("being handled")
    except KeyError:
        with pytest.raises(TypeError) as info:
            palettra.convert(IMAGE, [])
    assert info.value.__suppress_context__
    assert info.value.__cause__ is None


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


def test_exact_type_error_is_rewrapped_and_keeps_its_cause(testing):
    root = ValueError("root")
    inner = TypeError("inner message")
    inner.__cause__ = root
    with pytest.raises(TypeError) as info:
        testing.wrap_argument_error("color_palette", inner)
    outer = info.value
    assert type(outer) is TypeError
    assert outer is not inner
    assert outer.args == ("argument 'color_palette': inner message",)
    assert outer.__cause__ is root
    assert outer.__suppress_context__
    assert outer.__context__ is None


def test_rewrapped_error_without_cause_has_none(testing):
    inner = TypeError("inner")
    inner.__context__ = KeyError("context")
    with pytest.raises(TypeError) as info:
        testing.wrap_argument_error("x", inner)
    assert info.value.args == ("argument 'x': inner",)
    assert info.value.__cause__ is None
    assert info.value.__suppress_context__


class TypeErrorSubclass(TypeError):
    pass


@pytest.mark.parametrize(
    "inner",
    [TypeErrorSubclass("sub"), ValueError("value"), KeyboardInterrupt("interrupt")],
    ids=["type-error-subclass", "other-exception", "base-exception"],
)
def test_other_errors_pass_unchanged(testing, inner):
    inner.__cause__ = root = OSError("root")
    with pytest.raises(BaseException) as info:
        testing.wrap_argument_error("color_palette", inner)
    assert info.value is inner
    assert inner.args == (str(inner),) and "argument" not in str(inner)
    assert inner.__cause__ is root


def test_rewrapping_an_unprintable_type_error(testing, monkeypatch):
    reported = []
    monkeypatch.setattr("sys.unraisablehook", reported.append)
    inner = TypeError(Unprintable())
    with pytest.raises(TypeError) as info:
        testing.wrap_argument_error("x", inner)
    assert info.value.args == ("argument 'x': <unprintable TypeError object>",)
    assert [(hook.object, type(hook.exc_value)) for hook in reported] == [(inner, RuntimeError)]


# The generic binder, over parameter lists of other shapes:
#   Klass.method(a, b, /, c, *, d, e, f)  with a, d and f required
#   triple(x, y, z)
#   keywords(*, p, q, r, s)


@pytest.mark.parametrize(
    "name, args, kwargs, slots",
    [
        ("method", (1,), {"d": 4, "f": 6}, (1, None, None, 4, None, 6)),
        ("method", (1, 2, 3), {"d": 4, "e": 5, "f": 6}, (1, 2, 3, 4, 5, 6)),
        ("method", (1,), {"f": 6, "c": 3, "d": 4}, (1, None, 3, 4, None, 6)),
        ("triple", (1,), {"z": 3, "y": 2}, (1, 2, 3)),
        ("keywords", (), {"s": 4, "p": 1, "r": 3, "q": 2}, (1, 2, 3, 4)),
    ],
)
def test_generic_binding_fills_slots(testing, name, args, kwargs, slots):
    assert testing.bind_as(name, *args, **kwargs) == slots


@pytest.mark.parametrize(
    "name, args, kwargs, message",
    [
        ("method", (1, 2, 3, 4), {}, "Klass.method() takes from 1 to 3 positional arguments but 4 were given"),
        ("triple", (1, 2, 3, 4), {}, "triple() takes 3 positional arguments but 4 were given"),
        ("keywords", (1,), {}, "keywords() takes 0 positional arguments but 1 was given"),
        ("keywords", (1, 2), {"p": 1}, "keywords() takes 0 positional arguments but 2 were given"),
        ("method", (), {"a": 1, "b": 2, "d": 4, "f": 6},
         "Klass.method() got some positional-only arguments passed as keyword arguments: 'a' and 'b'"),
        ("method", (1, 2), {"b": 2, "d": 4, "f": 6},
         "Klass.method() got some positional-only arguments passed as keyword arguments: 'b'"),
        ("method", (1,), {"b": 2, "zz": 0}, "Klass.method() got an unexpected keyword argument 'zz'"),
        ("method", (1,), {"d": 4, "c": 3, "f": 6, "b": 2, "a": 1},
         "Klass.method() got some positional-only arguments passed as keyword arguments: 'b' and 'a'"),
        ("method", (1, 2, 3), {"c": 3}, "Klass.method() got multiple values for argument 'c'"),
        ("method", (), {}, "Klass.method() missing 1 required positional argument: 'a'"),
        ("method", (), {"d": 4}, "Klass.method() missing 1 required positional argument: 'a'"),
        ("method", (1,), {}, "Klass.method() missing 2 required keyword arguments: 'd' and 'f'"),
        ("method", (1,), {"d": 4, "e": 5}, "Klass.method() missing 1 required keyword argument: 'f'"),
        ("triple", (), {}, "triple() missing 3 required positional arguments: 'x', 'y', and 'z'"),
        ("triple", (), {"y": 2}, "triple() missing 2 required positional arguments: 'x' and 'z'"),
        ("triple", (1,), {"z": 3}, "triple() missing 1 required positional argument: 'y'"),
        ("keywords", (), {"q": 2},
         "keywords() missing 3 required keyword arguments: 'p', 'r', and 's'"),
        ("keywords", (), {},
         "keywords() missing 4 required keyword arguments: 'p', 'q', 'r', and 's'"),
    ],
)
def test_generic_binding_messages(testing, name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        testing.bind_as(name, *args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)


@pytest.mark.parametrize(
    "name, values, kwnames, message",
    [
        ("triple", (1, 2, 3, 3), ("z", "z"), "triple() got multiple values for argument 'z'"),
        ("keywords", (1, 2), ("p", "p"), "keywords() got multiple values for argument 'p'"),
        ("triple", (1, 2, 3, 4), (5,), "triple() got an unexpected keyword argument '5'"),
        ("triple", (1, 2, 3, 4), (b"x",), "triple() got an unexpected keyword argument 'b'x''"),
        ("triple", (), None, "triple() missing 3 required positional arguments: 'x', 'y', and 'z'"),
        ("keywords", (), (), "keywords() missing 4 required keyword arguments: 'p', 'q', 'r', and 's'"),
    ],
    ids=["same-name-twice", "same-keyword-only-twice", "int-name", "bytes-name", "no-arguments", "empty-kwnames"],
)
def test_binding_keyword_names_as_given(testing, name, values, kwnames, message):
    with pytest.raises(TypeError) as info:
        testing.bind_raw(name, values, kwnames)
    assert info.value.args == (message,)


def test_binding_takes_no_references(testing):
    value = object()
    before = sys.getrefcount(value)
    assert testing.bind_raw("triple", (value, value, value), None) == (value,) * 3
    assert sys.getrefcount(value) == before
