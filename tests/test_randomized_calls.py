"""Random calls of convert against a model of the whole call, errors included."""

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import palettra
from support import model
from support.registry import panic_exception_type

IMAGE_DTYPES = ["u1", "u2", "<u4", "u8", "i1", "i2", "i4", "i8", ">u2", "?", "f8"]
PALETTE_DTYPES = ["u8", "L", ">u8", "i8", "u4", "f8"]


def views(array):
    """Layouts convert must read through: reversed, strided, transposed."""
    return st.sampled_from(
        [
            lambda a: a,
            lambda a: a[::-1],
            lambda a: a[:, ::-1],
            lambda a: a[::2],
            lambda a: a.swapaxes(0, 1),
        ]
    ).map(lambda view: view(array))


@st.composite
def images(draw):
    dtype = np.dtype(draw(st.sampled_from(IMAGE_DTYPES)))
    shape = draw(st.tuples(st.integers(0, 4), st.integers(0, 4), st.integers(1, 4)))
    if dtype.kind in "ui":
        info = np.iinfo(dtype)
        # Mostly valid channel values, with rare negatives in signed images.
        low = max(int(info.min), -3) if draw(st.integers(0, 9)) == 0 else 0
        elements = st.integers(low, int(info.max))
    elif dtype.kind == "f":
        elements = st.floats(0, 255, allow_nan=False)
    else:
        elements = st.booleans()
    array = draw(hnp.arrays(dtype, shape, elements=elements))
    array = draw(views(array))
    if draw(st.booleans()):
        return array
    return ItemAccessImage(array)


class ItemAccessImage:
    """An image whose item access is Python code."""

    def __init__(self, array):
        self.array = array
        self.shape = array.shape

    def __getitem__(self, key):
        return int(self.array[key]) if self.array.dtype.kind in "ui" else self.array[key]

    def __repr__(self):
        return f"ItemAccessImage({self.array!r})"


@st.composite
def palettes(draw):
    kind = draw(st.sampled_from(["array", "array", "array", "broadcast", "list", "none"]))
    if kind == "list":
        return [[1, 2, 3]]
    if kind == "none":
        return None
    dtype = np.dtype(draw(st.sampled_from(PALETTE_DTYPES)))
    ndim = draw(st.sampled_from([2, 2, 2, 1, 3]))
    shape = draw(st.tuples(*[st.integers(0, 5)] * ndim))
    values = st.integers(0, 2**64 - 1) if dtype.kind == "u" and dtype.itemsize == 8 else st.integers(0, 255)
    array = draw(hnp.arrays(dtype, shape, elements=values))
    if kind == "broadcast" and ndim == 2 and shape[0]:
        array = np.broadcast_to(array[:1], (draw(st.integers(0, 4)), shape[1]))
    elif ndim == 2:
        array = draw(views(array))
    array.flags.writeable = array.flags.writeable and draw(st.booleans())
    return array


@st.composite
def argument_lists(draw):
    """Positional and keyword arguments, with occasional surplus and wrong names."""
    img, palette = draw(images()), draw(palettes())
    form = draw(st.sampled_from(["positional", "keywords", "mixed", "surplus", "missing", "misnamed"]))
    if form == "positional":
        return (img, palette), {}
    if form == "keywords":
        items = [("img", img), ("color_palette", palette)]
        if draw(st.booleans()):
            items.reverse()
        return (), dict(items)
    if form == "mixed":
        return (img,), {"color_palette": palette}
    if form == "surplus":
        extra = draw(st.sampled_from([((img,), {}), ((), {"img": img}), ((), {"colour": 1})]))
        return (img, palette, *extra[0]), extra[1]
    if form == "missing":
        return draw(st.sampled_from([((), {}), ((img,), {}), ((), {"color_palette": palette})]))
    name = draw(st.sampled_from(["palette", "Img", "colour_palette", "image"]))
    return (img,), {name: palette}


def outcome(call):
    try:
        return "returned", call()
    except model.Panic as panic:
        return "raised", (panic_exception_type(), str(panic))
    except BaseException as error:  # noqa: BLE001 - panics derive from BaseException
        return "raised", (type(error), str(error))


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(argument_lists())
def test_convert_does_what_the_model_says(registry, arguments):
    args, kwargs = arguments
    expected_kind, expected = outcome(lambda: model.convert(*args, **kwargs))
    kind, actual = outcome(lambda: palettra.convert(*args, **kwargs))

    assert kind == expected_kind, (actual, expected)
    if kind == "raised":
        assert actual == expected
    else:
        assert actual.dtype == np.uint64 and actual.flags.c_contiguous
        np.testing.assert_array_equal(actual, expected)
    for value in (*args, *kwargs.values()):
        if isinstance(value, np.ndarray) and value.flags.writeable:
            assert registry.is_free(value)


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((1, 2, 3), {"x": 1}), ((1,), {"colour": 1, "img": 2}), ((1,), {"img": 2, "colour": 1})],
)
def test_the_model_binds_as_convert_does(args, kwargs):
    assert outcome(lambda: model.convert(*args, **kwargs)) == outcome(
        lambda: palettra.convert(*args, **kwargs)
    )
