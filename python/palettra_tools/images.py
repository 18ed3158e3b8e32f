"""Images in: upright, in sRGB, colour channels and alpha apart, at 8 or 16 bits."""

import io
import logging
import os
import warnings
from collections.abc import Callable, Iterator
from contextlib import contextmanager, nullcontext
from dataclasses import dataclass
from functools import cache
from pathlib import Path
from typing import Any, BinaryIO

import numpy as np
import numpy.typing as npt
from PIL import ExifTags, Image, ImageCms, UnidentifiedImageError

from .bands import row_bands
from .errors import ImageError, ImageTooLargeError, ToolsWarning

Samples = npt.NDArray[np.unsignedinteger[Any]]

# Far more than any camera makes, far less than a few bytes of a crafted
# header can claim (the pixels are decoded into memory).
DEFAULT_MAX_PIXELS = 200_000_000

_SIXTEEN_BIT_GREY = {"I;16", "I;16B", "I;16L", "I;16N"}
_DECODER_LOG = "imagecodecs"
_PNG_WARNING = "PNG warning: "
_PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
# Signature, IHDR length and type, width and height: the bit depth follows.
_PNG_BIT_DEPTH_OFFSET = 24

# EXIF orientation -> what makes the stored pixels upright, as viewers show them.
_UPRIGHT: dict[int, Callable[[npt.NDArray[Any]], npt.NDArray[Any]]] = {
    2: lambda a: a[:, ::-1],
    3: lambda a: a[::-1, ::-1],
    4: lambda a: a[::-1],
    5: lambda a: a.swapaxes(0, 1),
    6: lambda a: np.rot90(a, -1),
    7: lambda a: np.rot90(a, 2).swapaxes(0, 1),
    8: lambda a: np.rot90(a, 1),
}


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


Note = Callable[[str], None]


@cache
def _srgb() -> ImageCms.ImageCmsProfile:
    return ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB"))


def _grey_to_rgb(grey: npt.NDArray[Any]) -> npt.NDArray[Any]:
    return np.ascontiguousarray(np.repeat(grey[..., np.newaxis], 3, axis=2))


def _foreign_profile(image: Image.Image, note: Note) -> ImageCms.ImageCmsProfile | None:
    """The image's embedded colour profile, unless it has none or it is sRGB."""
    data = image.info.get("icc_profile")
    if not data:
        return None
    try:
        profile = ImageCms.ImageCmsProfile(io.BytesIO(data))
    except (OSError, ImageCms.PyCMSError):
        note("its colour profile cannot be read: its colours are used as they are (as sRGB)")
        return None
    if "srgb" in (profile.profile.profile_description or "").lower():
        # Already what palettes are in; a round trip through the colour
        # engine could move colours by a unit.
        return None
    return profile


def _article(name: str) -> str:
    """"a" or "an" before a mode or colour space name, as it is read aloud:
    letter by letter when it is in capitals (an RGB, a CMYK), else as a word."""
    if name.isupper() and name != "GRAY":
        return "an" if name[0] in "AEFHILMNORSX" else "a"
    return "an" if name[:1].lower() in "aeiou" else "a"


def _profile_name(profile: ImageCms.ImageCmsProfile) -> str:
    return (profile.profile.profile_description or "unnamed").strip()


def _plain(image: Image.Image, target: str) -> Image.Image:
    return image if image.mode == target else image.convert(target)


# The (profile colour space, image mode) pairs that the colour engine converts to sRGB.
_CONVERTIBLE = {("RGB", mode) for mode in ("RGB", "RGBA", "RGBX", "P", "PA")} | {
    ("CMYK", "CMYK"),
    ("GRAY", "L"),
}


def _to_srgb(image: Image.Image, target: str, note: Note) -> Image.Image:
    """The image in mode `target` (RGB or RGBA), converted to sRGB from its
    embedded colour profile, or as it is where that cannot be done (noted)."""
    profile = _foreign_profile(image, note)
    if profile is None:
        return _plain(image, target)
    space = profile.profile.xcolor_space.strip()
    if (space, image.mode) not in _CONVERTIBLE or (space != "RGB" and target != "RGB"):
        note(
            f"{_article(image.mode)} {image.mode} image with {_article(space)} {space} colour profile "
            f"({_profile_name(profile)}) cannot be converted to sRGB: its colours are used as they are"
        )
        return _plain(image, target)
    intent = ImageCms.Intent.RELATIVE_COLORIMETRIC
    try:
        if space != "RGB":
            converted = ImageCms.profileToProfile(image, profile, _srgb(), intent, outputMode=target)
            assert converted is not None
            return converted
        rgb = _plain(image, target)
        ImageCms.profileToProfile(rgb, profile, _srgb(), intent, inPlace=True)
        return rgb
    except (ImageCms.PyCMSError, ValueError, OSError) as error:
        note(f"its colour profile ({_profile_name(profile)}) cannot be applied ({error}): its colours are used as they are")
        return _plain(image, target)


def _views(pixels: Samples) -> tuple[Samples, Samples | None]:
    """Colours and alpha of (h, w, 3 or 4) samples, as views of them."""
    return pixels[..., :3], (pixels[..., 3] if pixels.shape[2] == 4 else None)


def _copied_out(image: Image.Image) -> Samples:
    """The samples of an RGB or RGBA image, copied a band of rows at a time
    so that Pillow's pixels and a full copy of them never exist twice."""
    width, height = image.size
    pixels = np.empty((height, width, len(image.getbands())), np.uint8)
    for rows in row_bands(height, width):
        pixels[rows] = np.asarray(image.crop((0, rows.start, width, rows.stop)))
    return pixels


def _keyed_alpha(rgb: Samples, key: object) -> Samples | None:
    """Alpha from a 16-bit transparency key (a grey level): transparent
    exactly where the colour equals it."""
    if not isinstance(key, int):
        return None
    transparent = np.all(rgb == key, axis=2)
    return np.where(transparent, 0, 0xFFFF).astype(np.uint16)


def _sixteen_bit_grey(image: Image.Image) -> Picture:
    grey = np.asarray(image)
    if grey.size and (grey.min() < 0 or grey.max() > 0xFFFF):
        raise ImageError(f"{image.mode} image with values outside 0 to 65535 is not supported")
    rgb = _grey_to_rgb(grey.astype(np.uint16))
    return Picture(rgb, _keyed_alpha(rgb, image.info.get("transparency")), 16)


def _sixteen_bit_png(samples: npt.NDArray[np.uint16]) -> Picture:
    """The picture of a 16-bit PNG's decoded samples (the PNG library has
    expanded a transparency key into an alpha channel)."""
    if samples.ndim == 2:
        samples = samples[..., np.newaxis]
    if samples.shape[2] <= 2:
        alpha = np.ascontiguousarray(samples[..., 1]) if samples.shape[2] == 2 else None
        return Picture(_grey_to_rgb(samples[..., 0]), alpha, 16)
    return Picture(*_views(samples), 16)


def _is_sixteen_bit_png(handle: BinaryIO) -> bool:
    """Leaves the handle at the start of the file."""
    handle.seek(0)
    head = handle.read(_PNG_BIT_DEPTH_OFFSET + 1)
    handle.seek(0)
    return head.startswith(_PNG_SIGNATURE) and head[12:16] == b"IHDR" and head[-1:] == b"\x10"


class _Kept(logging.Handler):
    def __init__(self) -> None:
        super().__init__(logging.WARNING)
        self.records: list[logging.LogRecord] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.records.append(record)


@contextmanager
def _decoder_warnings(note: Note) -> Iterator[None]:
    """The PNG decoder logs its warnings, which are printed on standard error
    where nothing else handles the log, naming no file and breaking a
    progress line; they are taken out of the log as ToolsWarnings instead."""
    log = logging.getLogger(_DECODER_LOG)
    kept, propagate = _Kept(), log.propagate
    log.addHandler(kept)
    log.propagate = False
    try:
        yield
    finally:
        log.removeHandler(kept)
        log.propagate = propagate
    for record in kept.records:
        note(f"the PNG decoder warns: {record.getMessage().removeprefix(_PNG_WARNING)}")


def _orientation(image: Image.Image, decoded_by_pillow: bool) -> int:
    # Pillow finds a PNG's EXIF after the pixels only by decoding them, which
    # it must not do for the 16-bit ones it cannot hold.
    if not decoded_by_pillow and "exif" not in image.info:
        return 1
    try:
        orientation = image.getexif().get(ExifTags.Base.Orientation, 1)
    except Exception:  # noqa: BLE001
        # Damaged metadata leaves the pixels as they are stored; they are
        # still worth converting.
        return 1
    return orientation if orientation in _UPRIGHT else 1


@contextmanager
def _pillow_limit_lifted() -> Iterator[None]:
    """Pillow warns about large images and refuses larger ones from a limit
    of its own; read_image applies the caller's limit instead."""
    saved = Image.MAX_IMAGE_PIXELS
    Image.MAX_IMAGE_PIXELS = None
    try:
        yield
    finally:
        Image.MAX_IMAGE_PIXELS = saved


def _decode(
    handle: BinaryIO,
    srgb: bool,
    max_pixels: int | None,
    decoding: Callable[[int, int], None] | None,
    note: Note,
) -> tuple[Picture, int]:
    """The picture as stored, and its EXIF orientation."""
    with _pillow_limit_lifted():
        opened = Image.open(handle)
    with opened as image:
        width, height = image.size
        if max_pixels is not None and width * height > max_pixels:
            raise ImageTooLargeError(
                f"{width}×{height} is {width * height:,} pixels, more than the limit of {max_pixels:,}"
            )
        if decoding is not None:
            decoding(width, height)
        if image.format == "PNG" and _is_sixteen_bit_png(handle):
            if srgb and (profile := _foreign_profile(image, note)) is not None:
                note(f"its colour profile ({_profile_name(profile)}) cannot be applied at 16 bits: its colours are used as they are")
            # Imported here: it takes longer to load than most images to read.
            from imagecodecs import png_decode

            # The encoded file is let go as soon as it is decoded.
            with _decoder_warnings(note):
                samples = png_decode(handle.read())
            return _sixteen_bit_png(samples), _orientation(image, decoded_by_pillow=False)
        convert = (lambda opened, target: _to_srgb(opened, target, note)) if srgb else _plain
        return _pillow_picture(image, convert), _orientation(image, decoded_by_pillow=True)


def _pillow_picture(image: Image.Image, convert: Callable[[Image.Image, str], Image.Image]) -> Picture:
    """The picture of a Pillow image, its colours made RGB or RGBA by `convert`."""
    if image.mode == "F":
        raise ImageError("floating-point images are not supported")
    if image.mode in _SIXTEEN_BIT_GREY or image.mode == "I":
        return _sixteen_bit_grey(image)
    target = "RGBA" if image.has_transparency_data else "RGB"
    try:
        pixels = convert(image, target)
    except ValueError as error:
        raise ImageError(f"cannot convert a {image.mode} image to RGB: {error}") from None
    return Picture(*_views(_copied_out(pixels)), 8)


def picture_from_pillow(image: Image.Image) -> Picture:
    """The pixels of a Pillow image as they are (no orientation, no colour
    profile applied): 16-bit greyscale at 16 bits, everything else at 8, with
    alpha where the image has transparency (an alpha band, a transparent
    colour or palette alpha)."""
    return _pillow_picture(image, _plain)


def _upright(picture: Picture, orientation: int) -> Picture:
    turn = _UPRIGHT.get(orientation)
    if turn is None:
        return picture
    alpha = None if picture.alpha is None else np.ascontiguousarray(turn(picture.alpha))
    return Picture(np.ascontiguousarray(turn(picture.rgb)), alpha, picture.bits)


def _seekable(source: BinaryIO) -> BinaryIO:
    """The file object itself where it stands at its start and can seek (as
    the decoders do); else what is left of it, in memory."""
    if isinstance(source, io.TextIOBase):
        raise TypeError("read_image reads a binary file object: this one gives text (open the file with 'rb')")
    try:
        if source.seekable() and source.tell() == 0:
            return source
    except (AttributeError, OSError, ValueError):
        pass
    return io.BytesIO(source.read())


def read_image(
    source: str | Path | BinaryIO,
    *,
    upright: bool = True,
    srgb: bool = True,
    max_pixels: int | None = DEFAULT_MAX_PIXELS,
    decoding: Callable[[int, int], None] | None = None,
) -> Picture:
    """Reads the first frame of any image Pillow knows, from a file or a
    seekable binary file object; 16-bit PNGs keep all 16 bits.

    With `upright`, the EXIF orientation is applied, as viewers do; with
    `srgb`, an embedded colour profile is converted to sRGB (where a depth
    or mode cannot be converted, a ToolsWarning says so and the colours are
    used as they are). Images of more than `max_pixels` pixels (None: no
    limit) raise ImageTooLargeError before they are decoded. `decoding` is
    called with (width, height) once the size is known, before the pixels
    are decoded.

    `source` is a path or a binary file object open for reading, which is
    read from where it stands and left open.
    """
    with opened_image(source) as (handle, note):
        picture, orientation = _decode(handle, srgb, max_pixels, decoding, note)
    return _upright(picture, orientation) if upright else picture


@contextmanager
def opened_image(source: str | Path | BinaryIO) -> Iterator[tuple[BinaryIO, Note]]:
    """The image's file open for reading, a path opened or a file object from
    where it stands, and how to warn about it; every failure to decode it,
    whatever the decoder raises, becomes an ImageError that names it."""
    if isinstance(source, (str, os.PathLike)):
        name = str(source)
        try:
            handle: BinaryIO = Path(source).open("rb")
        except OSError as error:
            raise ImageError(f"{name}: cannot read: {error.strerror or error}") from None
    elif callable(getattr(source, "read", None)):
        name, handle = str(getattr(source, "name", "<file object>")), _seekable(source)
    else:
        raise TypeError(f"read_image reads a path or a binary file object, not {type(source).__name__}")

    def note(message: str) -> None:
        warnings.warn(f"{name}: {message}", ToolsWarning, stacklevel=4)

    try:
        with handle if handle is not source else nullcontext(handle):
            yield handle, note
    except ImageError as error:
        raise type(error)(f"{name}: {error}") from None
    except UnidentifiedImageError:
        raise ImageError(f"{name}: not an image file that Pillow can read") from None
    except Exception as error:  # noqa: BLE001
        # A damaged or foreign file makes the decoders raise almost anything
        # (OSError, SyntaxError, ValueError, zlib and struct errors, ...); to
        # the user each one means the same thing.
        reason = str(error) or type(error).__name__
        raise ImageError(f"{name}: not a readable image: {reason}") from None
