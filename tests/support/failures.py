"""Calls of convert that must fail without leaving anything behind."""

import sys

import numpy as np
import pytest

import palettra


def convert_failure(registry, image, palette, *watched):
    """Calls convert(image, palette), which must raise, and gives the exception.

    Afterwards the palette holds no borrow and the reference counts of the
    image, the palette and every object in `watched` are back where they were.
    """
    objects = (image, palette, *watched)
    before = [sys.getrefcount(o) for o in objects]
    try:
        palettra.convert(image, palette)
    except BaseException as error:  # PanicException derives from BaseException.
        caught = error
    else:
        pytest.fail("convert returned instead of raising")
    # The traceback keeps the frames of the call alive; only the exception is of interest.
    caught.__traceback__ = None
    if isinstance(caught, AttributeError):
        caught.obj = None  # The interpreter's record of the object without the attribute.
    assert [sys.getrefcount(o) for o in objects] == before
    if isinstance(palette, np.ndarray):
        assert registry.is_free(palette)
    return caught
