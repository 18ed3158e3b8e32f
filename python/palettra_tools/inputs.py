"""The images that palettra_tools' functions take, one contract for all: a
Picture, an (h, w, 3) or (h, w, 4) integer array whose channel 3 is alpha,
or a Pillow image (its pixels as they are)."""

from typing import Any, TypeAlias, cast

import numpy as np
import numpy.typing as npt
from PIL import Image

from .images import Picture, Samples, picture_from_pillow

ImageInput: TypeAlias = Picture | npt.NDArray[np.integer[Any]] | Image.Image
ACCEPTED = "a Picture, an (h, w, 3) or (h, w, 4) integer array, or a PIL.Image.Image"

IntegerSamples = npt.NDArray[np.integer[Any]]


def _shape_hint(shape: tuple[int, ...]) -> str:
    if len(shape) == 2:
        return "; a grey (h, w) array becomes one with np.repeat(grey[..., np.newaxis], 3, axis=2)"
    if len(shape) == 3 and shape[0] in (3, 4) and shape[2] > 4:
        return "; a channels-first (c, h, w) array becomes one with np.moveaxis(array, 0, -1)"
    return ""


def _array_channels(array: npt.NDArray[Any], what: str) -> tuple[IntegerSamples, IntegerSamples | None]:
    if not np.issubdtype(array.dtype, np.integer):
        raise TypeError(f"{what} must hold integers, not {array.dtype}: give {ACCEPTED}")
    if array.ndim != 3 or array.shape[2] not in (3, 4):
        raise ValueError(f"{what} must be an (h, w, 3) or (h, w, 4) array, got shape {array.shape}{_shape_hint(array.shape)}")
    return array[..., :3], (array[..., 3] if array.shape[2] == 4 else None)


def image_channels(image: ImageInput, what: str = "img") -> tuple[IntegerSamples, IntegerSamples | None]:
    """The colours (h, w, 3) and the alpha (h, w) or None of an image, of
    any integer type, as views where the image is an array or a Picture."""
    if isinstance(image, Picture):
        return image.rgb, image.alpha
    if isinstance(image, Image.Image):
        picture = picture_from_pillow(image)
        return picture.rgb, picture.alpha
    if isinstance(image, np.ndarray):
        return _array_channels(image, what)
    raise TypeError(f"{what} must be {ACCEPTED}, not {type(image).__name__}")


def as_picture(image: ImageInput, what: str = "image") -> Picture:
    """The image as a Picture: arrays must be uint8 (8 bits) or uint16 (16 bits)."""
    if isinstance(image, Picture):
        return image
    if isinstance(image, Image.Image):
        return picture_from_pillow(image)
    rgb, alpha = image_channels(image, what)
    bits = {np.dtype(np.uint8): 8, np.dtype(np.uint16): 16}.get(rgb.dtype)
    if bits is None:
        raise TypeError(f"{what} must hold uint8 or uint16 values, not {rgb.dtype}")
    return Picture(cast(Samples, rgb), cast(Samples | None, alpha), bits)
