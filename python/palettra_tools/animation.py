"""Animations in and out: every frame of an animated GIF, PNG (APNG) or WebP,
with its duration and disposal, and how many times the animation plays.

Frames are read as the viewer shows them, each the whole canvas with what
earlier frames left on it, so each can be mapped on its own. Memory: the
decoded frames, 8-bit RGB or RGBA, all at once (a palette made for all of
them needs them together), and, when written, the encoder's own copy of
every frame; written from index maps, the frames' colours are not read.
"""

from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, BinaryIO, Literal

import numpy as np
import numpy.typing as npt
from PIL import Image

from .dithering import IndexMap
from .errors import ImageError, ImageTooLargeError
from .images import (
    DEFAULT_MAX_PIXELS,
    Note,
    Picture,
    _decode,
    _orientation,
    _pillow_limit_lifted,
    _pillow_picture,
    _plain,
    _to_srgb,
    _upright,
    opened_image,
)
from .mapping import picture_from_indices
from .output import (
    _check_webp_size,
    _checked_palette,
    _eight_bit,
    _palette_indices,
    _srgb_icc,
    _srgb_png_info,
    _target,
    deliver,
    write_image,
)

Disposal = Literal["none", "background", "previous"]
"""What becomes of a frame's area before the next one is drawn: left as it
is, cleared to transparent, or put back as it was before the frame."""

_DISPOSALS: tuple[Disposal, ...] = ("none", "background", "previous")
# GIF numbers them from 1 (0 leaves it to the viewer, which keeps the frame).
_GIF_DISPOSAL: dict[int, Disposal] = {0: "none", 1: "none", 2: "background", 3: "previous"}
_APNG_BLEND_SOURCE = 0
_ANIMATED = {"GIF", "PNG", "WEBP"}


@dataclass(frozen=True)
class Frame:
    """One frame of an animation: the whole canvas as it is shown."""

    picture: Picture
    duration: int = 100
    """How long the frame is shown, in milliseconds."""
    disposal: Disposal = "none"


@dataclass(frozen=True)
class Animation:
    """The frames in order; `plays`: how many times it plays, 0 for ever."""

    frames: list[Frame]
    plays: int = 0


def _plays(image: Image.Image) -> int:
    loop = image.info.get("loop")
    if image.format != "GIF":
        return int(loop or 0)
    # A GIF without a loop count plays once; its count is of repeats.
    return 1 if loop is None else 0 if loop == 0 else int(loop) + 1


def _disposal(image: Image.Image) -> Disposal:
    if image.format == "GIF":
        return _GIF_DISPOSAL.get(getattr(image, "disposal_method", 0), "none")
    return _DISPOSALS[image.info.get("disposal", 0)] if image.format == "PNG" else "none"


def _once(note: Note) -> Note:
    """`note`, saying each thing once however many frames it applies to."""
    said: set[str] = set()

    def say(message: str) -> None:
        if message not in said:
            said.add(message)
            note(message)

    return say


def _frames(image: Image.Image, srgb: bool, note: Note) -> Animation:
    convert = (lambda frame, target: _to_srgb(frame, target, note)) if srgb else _plain
    frames = []
    for index in range(getattr(image, "n_frames", 1)):
        image.seek(index)
        image.load()
        picture = _pillow_picture(image, convert)
        frames.append(Frame(picture, round(image.info.get("duration") or 0), _disposal(image)))
    return Animation(frames, _plays(image))


def read_frames(
    source: str | Path | BinaryIO,
    *,
    upright: bool = True,
    srgb: bool = True,
    max_pixels: int | None = DEFAULT_MAX_PIXELS,
    decoding: Callable[[int, int], None] | None = None,
) -> Animation:
    """Every frame of an animated GIF, PNG or WebP, as read_image reads its
    first; any other image is an animation of one frame, read as read_image
    reads it (16 bits kept, the first page of a TIFF). Frames of an
    animation are 8-bit. `max_pixels` limits the pixels of all frames
    together; `decoding` is called with a frame's (width, height) before
    the pixels are decoded."""
    with opened_image(source) as (handle, note):
        with _pillow_limit_lifted():
            opened = Image.open(handle)
        with opened as image:
            # Other formats' frames are pages, sizes or a camera's second
            # picture (TIFF, ICO, MPO), not the steps of an animation.
            count = getattr(image, "n_frames", 1) if image.format in _ANIMATED else 1
            if count == 1:
                handle.seek(0)
                picture, turn = _decode(handle, srgb, max_pixels, decoding, note)
                return Animation([Frame(_upright(picture, turn) if upright else picture)], 1)
            width, height = image.size
            if max_pixels is not None and count * width * height > max_pixels:
                raise ImageTooLargeError(
                    f"{count} frames of {width}×{height} are {count * width * height:,} pixels, "
                    f"more than the limit of {max_pixels:,}"
                )
            if decoding is not None:
                decoding(width, height)
            animation = _frames(image, srgb, _once(note))
            turn = _orientation(image, decoded_by_pillow=True)
    if not upright:
        return animation
    frames = [Frame(_upright(frame.picture, turn), frame.duration, frame.disposal) for frame in animation.frames]
    return Animation(frames, animation.plays)


def _size(frames: Sequence[Frame]) -> tuple[int, int]:
    sizes = {frame.picture.rgb.shape[:2] for frame in frames}
    if len(sizes) != 1:
        raise ImageError(f"the frames of an animation have one size, these have {len(sizes)}")
    height, width = sizes.pop()
    return height, width


def _opaque_alpha(frames: Sequence[Frame]) -> list[npt.NDArray[np.uint8] | None]:
    """Every frame's 8-bit alpha; when some frames have alpha, the others'
    is opaque, since an animation has one mode."""
    alphas = [
        None if frame.picture.alpha is None else _eight_bit(frame.picture.alpha, frame.picture.bits, "alpha")
        for frame in frames
    ]
    if all(alpha is None for alpha in alphas):
        return alphas
    shape = frames[0].picture.rgb.shape[:2]
    return [np.full(shape, 255, np.uint8) if alpha is None else alpha for alpha in alphas]


def _gif_frames(
    frames: Sequence[Frame], table: npt.NDArray[np.int64], chosen: Sequence[npt.NDArray[np.integer[Any]]]
) -> tuple[list[Image.Image], dict[str, Any]]:
    """The frames as indexed images of the palette, with one more entry for
    transparent pixels when there are any."""
    alphas = _opaque_alpha(frames)
    partial = [a for a in alphas if a is not None and np.any((a != 0) & (a != 255))]
    if partial:
        raise ImageError("a GIF pixel is either transparent or opaque, and this animation has partly transparent ones")
    transparent = any(a is not None and np.any(a == 0) for a in alphas)
    if transparent and len(table) == 256:
        raise ImageError("a GIF holds 256 colours: 256 palette colours leave none for transparent pixels")
    entries = table.astype(np.uint8).tobytes() + (bytes(3) if transparent else b"")
    images = []
    for indices, alpha in zip(chosen, alphas):
        entry = indices.astype(np.uint8)
        if transparent and alpha is not None:
            entry[alpha == 0] = len(table)
        image = Image.fromarray(entry, "P")
        image.putpalette(entries, "RGB")
        images.append(image)
    return images, ({"transparency": len(table)} if transparent else {})


def _colour_frames(
    frames: Sequence[Frame], table: npt.NDArray[np.int64] | None, chosen: Sequence[IndexMap] | None
) -> list[Image.Image]:
    alphas = _opaque_alpha(frames)
    images = []
    for index, (frame, alpha) in enumerate(zip(frames, alphas)):
        if chosen is not None and table is not None:
            rgb = table.astype(np.uint8)[chosen[index]]
        else:
            rgb = _eight_bit(frame.picture.rgb, frame.picture.bits, "colours")
        pixels = rgb if alpha is None else np.concatenate([rgb, alpha[..., np.newaxis]], axis=2)
        images.append(Image.fromarray(np.ascontiguousarray(pixels), "RGB" if alpha is None else "RGBA"))
    return images


def write_frames(
    target: str | Path | BinaryIO,
    animation: Animation,
    palette: npt.ArrayLike | None = None,
    *,
    indices: Sequence[IndexMap] | None = None,
    format: str | None = None,
    overwrite: bool = True,
) -> None:
    """Writes every frame as an animated GIF, PNG (APNG) or lossless WebP,
    by the extension or `format`, as write_image writes one. A GIF needs the
    8-bit `palette`; each frame's pixels are its colours' first entries, or
    its rows of `indices` (one index map per frame) when they are given, as
    the mapping chose them. PNG and WebP frames are written in full colour:
    the palette's rows of `indices` when both are given, else the frames'
    own colours. An animation of one frame is written as a still image.
    Encoders merge a frame that is identical to the one before into it,
    adding up their durations."""
    if len(animation.frames) == 1:
        picture, given = animation.frames[0].picture, None if indices is None else indices[0]
        still = _target(target, format)[1]
        if still != "GIF" and given is not None and palette is not None:
            picture, given = picture_from_indices(picture, palette, given), None
        indexed = palette if still == "GIF" else None
        write_image(target, picture, indexed, indices=given, format=format, overwrite=overwrite)
        return
    name, kind = _target(target, format)
    frames = animation.frames
    try:
        if not frames:
            raise ImageError("an animation needs at least one frame")
        height, width = _size(frames)
        if indices is not None and len(indices) != len(frames):
            raise ImageError(f"there are {len(frames)} frames but {len(indices)} index maps")
        table = None if palette is None else _checked_palette(palette, "an animation")
        durations = [frame.duration for frame in frames]
        options: dict[str, Any] = {"save_all": True, "duration": durations}
        if kind == "GIF":
            if table is None:
                raise ImageError("a GIF is written with the palette: give palette")
            chosen = indices if indices is not None else [_palette_indices(f.picture, table) for f in frames]
            images, extra = _gif_frames(frames, table, chosen)
            disposal = [_DISPOSALS.index(f.disposal) + 1 for f in frames]
            options.update(extra, format="GIF", optimize=False, disposal=disposal)
            if animation.plays != 1:
                options["loop"] = max(animation.plays - 1, 0)
        elif kind == "PNG":
            images = _colour_frames(frames, table, indices)
            options.update(
                format="PNG", loop=animation.plays, pnginfo=_srgb_png_info(),
                disposal=[_DISPOSALS.index(f.disposal) for f in frames], blend=_APNG_BLEND_SOURCE,
            )  # fmt: skip
        else:
            _check_webp_size(height, width)
            images = _colour_frames(frames, table, indices)
            options.update(format="WEBP", loop=animation.plays, lossless=True, exact=True, icc_profile=_srgb_icc())
    except ImageError as error:
        raise ImageError(f"{name}: {error}") from None
    first, *rest = images
    deliver(target, name, lambda out: first.save(out, append_images=rest, **options), overwrite)
