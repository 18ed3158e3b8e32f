"""Images in and out: colour channels and alpha apart, at 8 or 16 bits."""

import io
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
from PIL import Image, UnidentifiedImageError

from . import png16
from .errors import ImageError

_SIXTEEN_BIT_GREY = {"I;16", "I;16B", "I;16L", "I;16N"}

Samples = npt.NDArray[np.unsignedinteger[Any]]


@dataclass(frozen=True)
class Picture:
    """An image as palettra_tools handles it.

    `rgb` is (h, w, 3), uint8 for 8-bit images and uint16 for 16-bit ones;
    greyscale is expanded to three equal channels. `alpha` is (h, w) of the
    same type, or None; it is carried through conversion untouched.
    """

    rgb: Samples
    alpha: Samples | None
    bits: int


def _grey_to_rgb(grey: npt.NDArray[Any]) -> npt.NDArray[Any]:
    return np.ascontiguousarray(np.repeat(grey[..., np.newaxis], 3, axis=2))


def _keyed_alpha(rgb: Samples, key: object) -> Samples | None:
    """Alpha from a 16-bit PNG's transparency key (a grey level or an RGB
    triple): transparent exactly where the colour equals it."""
    if isinstance(key, int):
        key_rgb: tuple[int, ...] = (key, key, key)
    elif isinstance(key, tuple):
        key_rgb = key
    else:
        return None
    transparent = np.all(rgb == np.array(key_rgb, dtype=rgb.dtype), axis=2)
    return np.where(transparent, 0, 0xFFFF).astype(np.uint16)


def _sixteen_bit_colour(data: bytes, mode: str, key: object) -> Picture:
    samples = png16.decode(data, mode)
    channels = png16.SIXTEEN_BIT_COLOUR[mode]
    if channels == 2:
        return Picture(_grey_to_rgb(samples[..., 0]), np.ascontiguousarray(samples[..., 1]), 16)
    rgb = np.ascontiguousarray(samples[..., :3])
    if channels == 4:
        return Picture(rgb, np.ascontiguousarray(samples[..., 3]), 16)
    return Picture(rgb, _keyed_alpha(rgb, key), 16)


def _sixteen_bit_grey(image: Image.Image) -> Picture:
    grey = np.asarray(image)
    if grey.size and (grey.min() < 0 or grey.max() > 0xFFFF):
        raise ImageError(f"{image.mode} image with values outside 0 to 65535 is not supported")
    rgb = _grey_to_rgb(grey.astype(np.uint16))
    return Picture(rgb, _keyed_alpha(rgb, image.info.get("transparency")), 16)


def _eight_bit(image: Image.Image) -> Picture:
    if image.mode == "F":
        raise ImageError("floating-point images are not supported")
    with_alpha = image.has_transparency_data
    try:
        converted = image.convert("RGBA" if with_alpha else "RGB")
    except ValueError as error:
        raise ImageError(f"cannot convert a {image.mode} image to RGB: {error}") from None
    pixels = np.asarray(converted)
    rgb = np.ascontiguousarray(pixels[..., :3])
    alpha = np.ascontiguousarray(pixels[..., 3]) if with_alpha else None
    return Picture(rgb, alpha, 8)


def picture_from_pil(image: Image.Image, data: bytes | None = None) -> Picture:
    """A Picture from a Pillow image; `data` is the encoded file, needed to
    read 16-bit colour PNGs in full."""
    mode = png16.raw_mode(image)
    if image.format == "PNG" and mode in png16.SIXTEEN_BIT_COLOUR and data is not None:
        return _sixteen_bit_colour(data, mode, image.info.get("transparency"))
    if image.mode in _SIXTEEN_BIT_GREY or image.mode == "I":
        return _sixteen_bit_grey(image)
    return _eight_bit(image)


def read_image(path: str | Path) -> Picture:
    """Reads the first frame of any image Pillow knows; 16-bit PNGs keep all 16 bits."""
    path = Path(path)
    try:
        data = path.read_bytes()
    except OSError as error:
        raise ImageError(f"{path}: cannot read: {error.strerror or error}") from None
    try:
        with Image.open(io.BytesIO(data)) as image:
            return picture_from_pil(image, data)
    except ImageError as error:
        raise ImageError(f"{path}: {error}") from None
    except UnidentifiedImageError:
        raise ImageError(f"{path}: not an image file that Pillow can read") from None
    except Exception as error:  # noqa: BLE001
        # A damaged or foreign file makes Pillow raise almost anything (OSError,
        # SyntaxError, ValueError, zlib and struct errors, ...); to the user
        # each one means the same thing.
        reason = str(error) or type(error).__name__
        raise ImageError(f"{path}: not a readable image: {reason}") from None


def _with_alpha(picture: Picture) -> Samples:
    if picture.alpha is None:
        return picture.rgb
    return np.concatenate([picture.rgb, picture.alpha[..., np.newaxis]], axis=2)


def encode_png(picture: Picture) -> bytes:
    """The picture as an RGB or RGBA PNG at its own depth."""
    pixels = _with_alpha(picture)
    if picture.bits == 16:
        return png16.encode(pixels.astype(np.uint16))
    buffer = io.BytesIO()
    Image.fromarray(pixels.astype(np.uint8), "RGBA" if picture.alpha is not None else "RGB").save(
        buffer, format="PNG"
    )
    return buffer.getvalue()


def _colour_keys(rgb8: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
    keys: npt.NDArray[np.int64] = rgb8[..., 0] * 65536 + rgb8[..., 1] * 256 + rgb8[..., 2]
    return keys


def encode_indexed_png(picture: Picture, palette: npt.ArrayLike) -> bytes:
    """The picture as an indexed PNG whose first entries are `palette` (8-bit,
    in order). Every colour of the picture must be a palette colour. Pixels
    whose alpha is not opaque get extra entries, one for each (colour, alpha)
    pair, so alpha survives as well."""
    palette = np.asarray(palette, dtype=np.int64).reshape(-1, 3)
    if len(palette) == 0:
        raise ImageError("an indexed PNG needs a palette of at least one colour")
    scale = 257 if picture.bits == 16 else 1
    rgb8 = picture.rgb.astype(np.int64) // scale
    if np.any(rgb8 * scale != picture.rgb):
        raise ImageError("an indexed PNG holds 8-bit colours; these colours are not 8-bit palette colours")
    keys, first = np.unique(_colour_keys(palette), return_index=True)
    pixel_keys = _colour_keys(rgb8)
    slots = np.clip(np.searchsorted(keys, pixel_keys), 0, len(keys) - 1)
    if not np.all(keys[slots] == pixel_keys):
        raise ImageError("the image has colours that are not in the palette")
    indices = first[slots]

    table = [bytes(row) for row in palette.astype(np.uint8)]
    alphas = [255] * len(table)
    if picture.alpha is not None:
        alpha8 = picture.alpha.astype(np.int64) // scale
        if np.any(alpha8 * scale != picture.alpha):
            raise ImageError("an indexed PNG holds 8-bit alpha; this image's 16-bit alpha would be rounded")
        translucent = alpha8 != 255
        pairs, inverse = np.unique(indices[translucent] * 256 + alpha8[translucent], return_inverse=True)
        indices[translucent] = len(table) + inverse.reshape(-1)
        table += [table[pair // 256] for pair in pairs.tolist()]
        alphas += [pair % 256 for pair in pairs.tolist()]
    if len(table) > 256:
        raise ImageError(
            f"an indexed PNG holds at most 256 entries, this image needs {len(table)} "
            "(palette colours plus colour and alpha pairs): write it without --indexed"
        )
    image = Image.fromarray(indices.astype(np.uint8), "P")
    image.putpalette(b"".join(table), "RGB")
    buffer = io.BytesIO()
    if any(a != 255 for a in alphas):
        image.save(buffer, format="PNG", transparency=bytes(alphas))
    else:
        image.save(buffer, format="PNG")
    return buffer.getvalue()


def write_image(path: str | Path, picture: Picture, indexed_palette: npt.ArrayLike | None = None) -> None:
    """Writes the picture as PNG; as an indexed PNG when `indexed_palette`
    (8-bit, at most 256 colours) is given."""
    if indexed_palette is None:
        data = encode_png(picture)
    else:
        palette = np.asarray(indexed_palette)
        if len(palette) > 256:
            raise ImageError(f"an indexed PNG holds at most 256 colours, the palette has {len(palette)}")
        data = encode_indexed_png(picture, palette)
    try:
        Path(path).write_bytes(data)
    except OSError as error:
        raise ImageError(f"{path}: cannot write: {error.strerror or error}") from None
