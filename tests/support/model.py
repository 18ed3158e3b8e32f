"""A model of a whole call of convert in Python: what it returns or raises.

It performs the same reads of the image as convert (attribute `shape`, then
`img[i, j, k]` pixel by pixel) and converts values with the interpreter's own
rules, so errors raised by the image come out exactly as convert lets them
through.
"""

import operator

import numpy as np

from support.oracle import nearest_colours

_PARAMETERS = ("img", "color_palette")
_MISSING = object()


class Panic(Exception):
    """Stands for the PanicException convert raises with this message."""


def bind(args, kwargs):
    if len(args) > 2:
        raise TypeError(f"convert() takes 2 positional arguments but {len(args)} were given")
    slots = list(args) + [_MISSING] * (2 - len(args))
    for name, value in kwargs.items():
        if name not in _PARAMETERS:
            raise TypeError(f"convert() got an unexpected keyword argument '{name}'")
        index = _PARAMETERS.index(name)
        if slots[index] is not _MISSING:
            raise TypeError(f"convert() got multiple values for argument '{name}'")
        slots[index] = value
    missing = [f"'{name}'" for name, slot in zip(_PARAMETERS, slots) if slot is _MISSING]
    if missing:
        plural = "s" if len(missing) > 1 else ""
        raise TypeError(
            f"convert() missing {len(missing)} required positional argument{plural}: "
            + " and ".join(missing)
        )
    return slots


def accept_palette(palette):
    acceptable = (
        isinstance(palette, np.ndarray)
        and palette.ndim == 2
        and palette.dtype.kind == "u"
        and palette.dtype.itemsize == 8
        and palette.dtype.isnative
    )
    if not acceptable:
        raise TypeError(
            f"argument 'color_palette': '{type(palette).__qualname__}' object "
            "cannot be converted to 'PyArray<T, D>'"
        )


def unsigned(value):
    number = value if isinstance(value, int) else operator.index(value)
    if number < 0:
        raise OverflowError("can't convert negative int to unsigned")
    if number >= 2**64:
        raise OverflowError("int too big to convert")
    return number


def shape_triple(shape):
    if not isinstance(shape, tuple):
        raise TypeError(f"'{type(shape).__qualname__}' object cannot be converted to 'PyTuple'")
    if len(shape) != 3:
        raise ValueError(f"expected tuple of length 3, but got tuple of length {len(shape)}")
    return tuple(unsigned(extent) for extent in shape)


def convert(*args, **kwargs):
    img, palette = bind(args, kwargs)
    accept_palette(palette)
    height, width, _ = shape_triple(img.shape)
    pixels = np.zeros((height, width, 3), np.uint64)
    if pixels.size == 0:
        return pixels
    for i in range(height):
        for j in range(width):
            pixels[i, j] = [unsigned(img[i, j, k]) for k in range(3)]
            if len(palette) and palette.shape[1] < 3:
                raise Panic("ndarray: index out of bounds")
    return nearest_colours(pixels, palette)
