"""Images out, in a format chosen by the file's extension: PNG (plain or
indexed), GIF or lossless WebP; each keeps the palette's colours exactly."""

import os
from collections.abc import Callable
from functools import cache
from pathlib import Path
from typing import Any, BinaryIO

import numpy as np
import numpy.typing as npt
from PIL import Image, ImageCms, PngImagePlugin

from .bands import row_bands
from .dithering import IndexMap
from .errors import ImageError
from .images import Picture, Samples
from .inputs import ImageInput, as_picture
from .png_stream import Progress, write_png

FORMATS = {".png": "PNG", ".gif": "GIF", ".webp": "WebP"}
_LOSSY = {".jpg": "JPEG", ".jpeg": "JPEG", ".jpe": "JPEG", ".jfif": "JPEG", ".avif": "AVIF", ".heic": "HEIF"}
_CHOICES = "write .png, .gif or .webp"

_SRGB_PERCEPTUAL = b"\x00"

Save = Callable[[BinaryIO], None]


def _named_format(suffix: str, where: object) -> str:
    suffix = suffix.lower()
    if suffix in FORMATS:
        return FORMATS[suffix]
    if suffix in _LOSSY:
        raise ImageError(
            f"{where}: {_LOSSY[suffix]} is lossy, so it would not keep the palette's colours exactly: {_CHOICES}"
        )
    raise ImageError(f"{where}: unknown output format '{suffix or 'no extension'}': {_CHOICES}")


def output_format(path: str | Path, format: str | None = None) -> str:
    """The format ("PNG", "GIF" or "WebP") that `format` names (an extension,
    with or without its dot, any case), else `path`'s extension; or an
    ImageError saying why it cannot be written."""
    if format is not None:
        return _named_format("." + format.lstrip("."), f"{path}: format {format!r}")
    return _named_format(Path(path).suffix, path)


@cache
def _srgb_icc() -> bytes:
    return ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()


def _srgb_png_info() -> PngImagePlugin.PngInfo:
    # Palette colours are sRGB colours; the chunk tells viewers so.
    info = PngImagePlugin.PngInfo()
    info.add(b"sRGB", _SRGB_PERCEPTUAL)
    return info


def _same_view(view: Samples, part: Samples) -> bool:
    return bool(
        view.__array_interface__["data"] == part.__array_interface__["data"]
        and view.strides == part.strides
        and view.shape == part.shape
    )


def _with_alpha(picture: Picture) -> Samples:
    """Colours and alpha as one (h, w, 3 or 4) array; without a copy where
    they already are channels of one, as convert_picture and read_image
    make them."""
    if picture.alpha is None:
        return picture.rgb
    base = picture.rgb.base
    if (
        isinstance(base, np.ndarray)
        and picture.alpha.base is base
        and base.ndim == 3
        and base.shape[2] == 4
        and base.flags.c_contiguous
        and _same_view(picture.rgb, base[..., :3])
        and _same_view(picture.alpha, base[..., 3])
    ):
        return base
    return np.concatenate([picture.rgb, picture.alpha[..., np.newaxis]], axis=2)


def _eight_bit(samples: Samples, bits: int, what: str) -> npt.NDArray[np.uint8]:
    """Samples at 8 bits: 16-bit ones must be exact multiples of 257, as
    palette colours at 16 bits are."""
    if bits == 8:
        return samples.astype(np.uint8, copy=False)
    narrowed = (samples // 257).astype(np.uint8)
    if np.any(narrowed.astype(np.uint16) * np.uint16(257) != samples):
        raise ImageError(f"this format holds 8-bit {what}; this image's 16-bit {what} would be rounded")
    return narrowed


def _plain_png(picture: Picture, progress: Progress | None) -> Save:
    pixels = _with_alpha(picture)
    return lambda out: write_png(out, pixels, progress=progress)


def _colour_keys(rgb8: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
    keys: npt.NDArray[np.int64] = rgb8[..., 0] * 65536 + rgb8[..., 1] * 256 + rgb8[..., 2]
    return keys


def _palette_indices(picture: Picture, palette: npt.NDArray[np.int64]) -> npt.NDArray[np.int16]:
    """For every pixel, the index of the first palette entry of its colour."""
    keys, first = np.unique(_colour_keys(palette), return_index=True)
    height, width = picture.rgb.shape[:2]
    indices = np.empty((height, width), np.int16)
    for rows in row_bands(height, width):
        pixel_keys = _colour_keys(_eight_bit(picture.rgb[rows], picture.bits, "colours").astype(np.int64))
        slots = np.clip(np.searchsorted(keys, pixel_keys), 0, len(keys) - 1)
        if not np.all(keys[slots] == pixel_keys):
            raise ImageError("the image has colours that are not in the palette")
        indices[rows] = first[slots]
    return indices


def _entries(
    picture: Picture, table: npt.NDArray[np.int64], indices: IndexMap | None
) -> npt.NDArray[np.integer[Any]]:
    """Every pixel's entry: its row of `indices` as the mapping chose it, or
    else the first entry of its colour. Entries may be changed in place."""
    if indices is None:
        return _palette_indices(picture, table)
    if indices.shape != picture.rgb.shape[:2] or (indices.size and int(indices.max()) >= len(table)):
        raise ImageError("the index map does not fit the picture and the palette")
    # Alpha gives translucent pixels entries of their own, in a copy.
    return indices if picture.alpha is None else indices.astype(np.int16)


def _alpha_entries(
    picture: Picture, indices: npt.NDArray[np.integer[Any]], entries: int
) -> tuple[list[int], list[int]]:
    """Gives every pixel that is not opaque an entry after the first
    `entries`, one for each (colour, alpha) pair, and returns those pairs'
    palette indices and alphas."""
    assert picture.alpha is not None
    height, width = indices.shape
    pairs: npt.NDArray[np.int64] = np.empty(0, np.int64)
    for rows in row_bands(height, width):
        alpha8 = _eight_bit(picture.alpha[rows], picture.bits, "alpha").astype(np.int64)
        translucent = alpha8 != 255
        pairs = np.union1d(pairs, indices[rows][translucent].astype(np.int64) * 256 + alpha8[translucent])
    if entries + len(pairs) > 256:
        raise ImageError(
            f"an indexed image holds at most 256 entries, this image needs {entries + len(pairs)} "
            "(palette colours plus colour and alpha pairs): write it without --indexed"
        )
    for rows in row_bands(height, width):
        alpha8 = _eight_bit(picture.alpha[rows], picture.bits, "alpha").astype(np.int64)
        translucent = alpha8 != 255
        band = indices[rows]
        band[translucent] = entries + np.searchsorted(pairs, band[translucent].astype(np.int64) * 256 + alpha8[translucent])
    return (pairs // 256).tolist(), (pairs % 256).tolist()


def _checked_palette(palette: npt.ArrayLike, kind: str) -> npt.NDArray[np.int64]:
    array = np.asarray(palette, dtype=np.int64).reshape(-1, 3)
    if len(array) == 0:
        raise ImageError(f"{kind} needs a palette of at least one colour")
    if len(array) > 256:
        raise ImageError(f"{kind} holds at most 256 colours, the palette has {len(array)}")
    return array


def _indexed_png(
    picture: Picture, palette: npt.ArrayLike, given: IndexMap | None, progress: Progress | None
) -> Save:
    """First entries the palette, in order; then one for each (colour, alpha)
    pair of the pixels that are not opaque, so alpha survives as well."""
    table = _checked_palette(palette, "an indexed PNG")
    indices = _entries(picture, table, given)
    alphas = [255] * len(table)
    if picture.alpha is not None:
        colours, pair_alphas = _alpha_entries(picture, indices, len(table))
        table = np.concatenate([table, table[colours].reshape(-1, 3)])
        alphas += pair_alphas
    entries = indices.astype(np.uint8, copy=False)
    triples = table.astype(np.uint8).tobytes()
    transparency = bytes(alphas) if any(a != 255 for a in alphas) else None
    return lambda out: write_png(out, entries, palette=triples, transparency=transparency, progress=progress)


def _gif(picture: Picture, palette: npt.ArrayLike, given: IndexMap | None) -> Save:
    """The palette in order; fully transparent pixels get one more entry."""
    table = _checked_palette(palette, "a GIF")
    indices = _entries(picture, table, given)
    extra: dict[str, Any] = {}
    if picture.alpha is not None:
        alpha = _eight_bit(picture.alpha, picture.bits, "alpha")
        if np.any((alpha != 0) & (alpha != 255)):
            raise ImageError("a GIF pixel is either transparent or opaque, and this image has partly transparent ones")
        if np.any(alpha == 0):
            if len(table) == 256:
                raise ImageError("a GIF holds 256 colours: 256 palette colours leave none for transparent pixels")
            indices[alpha == 0] = len(table)
            extra["transparency"] = len(table)
            table = np.concatenate([table, [[0, 0, 0]]])
    image = Image.fromarray(indices.astype(np.uint8, copy=False), "P")
    image.putpalette(table.astype(np.uint8).tobytes(), "RGB")
    return lambda out: image.save(out, format="GIF", optimize=False, **extra)


def _check_webp_size(height: int, width: int) -> None:
    if max(width, height) > 16383:
        raise ImageError(f"a WebP image is at most 16383 pixels wide and high, this one is {width}×{height}")


def _webp(picture: Picture) -> Save:
    _check_webp_size(*picture.rgb.shape[:2])
    pixels = _eight_bit(_with_alpha(picture), picture.bits, "colours and alpha")
    image = Image.fromarray(pixels, "RGBA" if picture.alpha is not None else "RGB")
    # exact: colours under transparent pixels are kept too.
    return lambda out: image.save(out, format="WEBP", lossless=True, exact=True, icc_profile=_srgb_icc())


def _write_whole(path: Path, save: Save, overwrite: bool) -> None:
    """Writes beside `path` and renames, so a failure or an interruption
    never leaves half a file under the output's name. Without `overwrite`,
    the finished file is linked in under its name, which fails if one exists
    by then: there is no moment at which another file could be replaced."""
    partial = path.with_name(f".{path.name}.{os.getpid()}.partial")
    try:
        with partial.open("xb") as out:
            save(out)
        if overwrite:
            partial.replace(path)
        else:
            _put_new(partial, path)
    except FileExistsError:
        partial.unlink(missing_ok=True)
        raise ImageError(f"{path}: exists, and is left as it is") from None
    except OSError as error:
        partial.unlink(missing_ok=True)
        raise ImageError(f"{path}: cannot write: {error.strerror or error}") from None
    except BaseException:
        partial.unlink(missing_ok=True)
        raise


def _put_new(partial: Path, path: Path) -> None:
    try:
        os.link(partial, path)
    except FileExistsError:
        raise
    except OSError:
        # A file system without hard links: the check and the rename are two steps there.
        if path.exists():
            raise FileExistsError(path) from None
        partial.replace(path)
        return
    partial.unlink()


def write_image(
    target: str | Path | BinaryIO,
    image: ImageInput,
    indexed_palette: npt.ArrayLike | None = None,
    *,
    indices: IndexMap | None = None,
    format: str | None = None,
    overwrite: bool = True,
    progress: Progress | None = None,
) -> None:
    """Writes the image (a Picture, a uint8 or uint16 (h, w, 3) or (h, w, 4)
    array, or a Pillow image) to a path or a binary file object, as the format
    that `format` ("png", "gif" or "webp") or else the file's extension names
    (see output_format): PNG at the image's own depth, or an indexed PNG
    whose first entries are `indexed_palette` (8-bit, at most 256 colours, in
    order) when that is given; GIF, always indexed, with `indexed_palette`;
    lossless WebP. A path is written whole or not at all; with `overwrite`
    False, an existing file is left as it is and ImageError raised.

    An indexed image takes each pixel's entry from `indices` (h, w), the rows
    of `indexed_palette` that the mapping chose, when they are given: then
    the picture's colours are not read, only its size, depth and alpha.
    Otherwise every colour must be a palette colour, and its first entry is
    taken. A PNG is written a band of rows at a time, and `progress` is
    called with (rows done, rows) after each."""
    picture = as_picture(image)
    where, kind = _target(target, format)
    try:
        save = _saver(kind, picture, indexed_palette, indices, progress)
    except ImageError as error:
        raise ImageError(f"{where}: {error}") from None
    deliver(target, where, save, overwrite)


def _target(target: str | Path | BinaryIO, format: str | None) -> tuple[str, str]:
    """The target's name for messages, and the format it is written in."""
    if isinstance(target, (str, os.PathLike)):
        where = str(target)
    elif callable(getattr(target, "write", None)):
        name = getattr(target, "name", None)
        where = name if isinstance(name, str) else "<file object>"
        if format is None and not isinstance(name, str):
            raise ImageError(f"{where}: it has no name to choose the format by: give format='png', 'gif' or 'webp'")
    else:
        raise TypeError(f"write_image writes to a path or a binary file object, not {type(target).__name__}")
    return where, output_format(where, format)


def deliver(target: str | Path | BinaryIO, where: str, save: Save, overwrite: bool) -> None:
    """Runs `save` into the file that `target` names, whole or not at all,
    or straight into a binary file object."""
    if isinstance(target, (str, os.PathLike)):
        _write_whole(Path(target), save, overwrite)
        return
    try:
        save(target)
    except OSError as error:
        raise ImageError(f"{where}: cannot write: {error.strerror or error}") from None


def _saver(
    kind: str,
    picture: Picture,
    indexed_palette: npt.ArrayLike | None,
    indices: IndexMap | None,
    progress: Progress | None,
) -> Save:
    if indices is not None and indexed_palette is None:
        raise ImageError("an index map is written with its palette: give indexed_palette")
    if kind == "GIF":
        if indexed_palette is None:
            raise ImageError("a GIF is written with the palette: give indexed_palette")
        return _gif(picture, indexed_palette, indices)
    if kind == "WebP":
        if indexed_palette is not None:
            raise ImageError("WebP has no indexed form; lossless WebP stores few colours compactly by itself")
        return _webp(picture)
    if indexed_palette is not None:
        return _indexed_png(picture, indexed_palette, indices, progress)
    return _plain_png(picture, progress)
