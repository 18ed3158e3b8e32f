"""Mapping images to palettes with palettra.convert as the engine."""

from collections.abc import Callable
from dataclasses import replace
from typing import Any, TypedDict, Unpack

import numpy as np
import numpy.typing as npt

import palettra

from . import dithering, lab
from .bands import row_bands
from .dithering import ERROR_DIFFUSION, IndexMap, Method
from .errors import PaletteError
from .images import Picture
from .inputs import ImageInput, as_picture
from .light import Light
from .metrics import Metric, check_metric

IntegerImage = npt.NDArray[np.integer[Any]]

Progress = Callable[[int, int], None]
"""Called after every band with (rows done, rows in all)."""


def _banded(
    img: IntegerImage,
    band: Callable[[IntegerImage], npt.NDArray[np.uint64]],
    band_rows: int | None,
    progress: Progress | None,
    out: npt.NDArray[np.integer[Any]] | None,
) -> npt.NDArray[np.integer[Any]]:
    height, width = img.shape[0], img.shape[1]
    result = np.empty((height, width, 3), dtype=np.uint64) if out is None else out
    if result.shape != (height, width, 3):
        raise ValueError(f"out must have the shape {(height, width, 3)}, not {result.shape}")
    for rows in row_bands(height, width, band_rows):
        # Narrowed as it is stored: an 8- or 16-bit `out` never holds the
        # eight-byte samples of more than one band.
        result[rows] = band(img[rows])
        if progress is not None:
            progress(rows.stop, height)
    return result


def convert_in_bands(
    img: IntegerImage,
    color_palette: npt.NDArray[np.uint64],
    band_rows: int | None = None,
    progress: Progress | None = None,
    *,
    out: npt.NDArray[np.integer[Any]] | None = None,
) -> npt.NDArray[np.integer[Any]]:
    """palettra.convert(img, color_palette), a band of rows at a time.

    Every pixel is mapped on its own, so the result is the one of a single
    call; the bands let `progress` report as the work goes on, and let the
    result go straight into `out` (h, w, 3) of any integer type that holds
    the palette's values, which is then returned.
    """
    if img.ndim != 3 or img.shape[0] == 0:
        # Nothing to split: one call gives its result, or its error.
        whole = palettra.convert(img, color_palette)
        if out is None:
            return whole
        out[...] = whole
        return out
    return _banded(img, lambda part: palettra.convert(part, color_palette), band_rows, progress, out)


def convert_lab(
    img: IntegerImage,
    color_palette: npt.NDArray[np.uint64],
    bits: int,
    band_rows: int | None = None,
    progress: Progress | None = None,
    *,
    out: npt.NDArray[np.integer[Any]] | None = None,
) -> npt.NDArray[np.integer[Any]]:
    """The palette colour nearest in CIELAB (ΔE*ab) for every pixel; see `lab`."""
    palette = np.asarray(color_palette, dtype=np.uint64).reshape(-1, 3)
    if len(palette) == 0:
        raise PaletteError("the palette has no colours")
    palette_lab = lab.lab_coordinates(palette, bits)
    lookup = lab.RowLookup(palette_lab)

    def band(part: IntegerImage) -> npt.NDArray[np.uint64]:
        chosen = palettra.convert(lab.lab_coordinates(part, bits), palette_lab)
        return palette[lookup.rows(chosen)]

    return _banded(img, band, band_rows, progress, out)


def map_colours(
    img: IntegerImage,
    color_palette: npt.NDArray[np.uint64],
    *,
    metric: Metric = "rgb",
    bits: int = 8,
    band_rows: int | None = None,
    progress: Progress | None = None,
    out: npt.NDArray[np.integer[Any]] | None = None,
) -> npt.NDArray[np.integer[Any]]:
    """Nearest palette colour of every pixel of `img` (h, w, c >= 3), with the
    palette in the image's own scale. `metric` "rgb" is palettra.convert's
    squared RGB distance; "lab" is ΔE*ab, for which `bits` gives the scale.
    The result is uint64, or stored into `out` as in convert_in_bands."""
    if metric == "rgb":
        return convert_in_bands(img, color_palette, band_rows, progress, out=out)
    check_metric(metric)
    return convert_lab(img, color_palette, bits, band_rows, progress, out=out)


def palette_for_depth(palette: npt.ArrayLike, bits: int) -> npt.NDArray[np.uint64]:
    """An 8-bit palette scaled to `bits` bits: ×257 for 16 bits, so 0xff becomes 0xffff."""
    array = np.asarray(palette)
    if array.ndim != 2 or array.shape[1] != 3 or len(array) == 0:
        raise PaletteError(f"a palette is a non-empty (n, 3) array, got shape {array.shape}")
    if not np.issubdtype(array.dtype, np.integer) or array.min() < 0 or array.max() > 255:
        raise PaletteError("palettes hold 8-bit colours: integers 0 to 255")
    array = array.astype(np.uint64)
    return array * np.uint64(257) if bits == 16 else array


def index_picture(
    picture: Picture,
    palette: npt.ArrayLike,
    *,
    metric: Metric = "rgb",
    dither: Method = "none",
    serpentine: bool = False,
    strength: float = 1.0,
    light: Light = dithering.DEFAULT_LIGHT,
    threads: int | None = None,
    band_rows: int | None = None,
    progress: Progress | None = None,
) -> IndexMap:
    """The index map of the picture on the 8-bit `palette` (see
    palettra_tools.dither, which also says what `threads` does). Undithered and ordered pixels are mapped a band
    at a time when `progress` or `band_rows` asks for it or the metric is
    "lab" (whose coordinates then exist for one band only), and otherwise
    in one call; error diffusion takes the picture in one piece."""
    scaled = palette_for_depth(palette, picture.bits)
    height, width = picture.rgb.shape[:2]
    if dither in ERROR_DIFFUSION:
        # Every pixel's error reaches the rows below it.
        chosen = dithering.dither_block(
            picture.rgb,
            scaled,
            dither,
            serpentine=serpentine,
            strength=strength,
            metric=metric,
            light=light,
            threads=threads,
        )
        if progress is not None:
            progress(height, height)
        return chosen
    if progress is None and band_rows is None and metric == "rgb":
        return dithering.dither_block(picture.rgb, scaled, dither, strength=strength, light=light, threads=threads)
    chosen = np.empty((height, width), dtype=dithering.index_dtype(len(scaled)))
    for rows in row_bands(height, width, band_rows):
        chosen[rows] = dithering.dither_block(
            picture.rgb[rows],
            scaled,
            dither,
            strength=strength,
            metric=metric,
            light=light,
            origin=(rows.start, 0),
            threads=threads,
        )
        if progress is not None:
            progress(rows.stop, height)
    return chosen


def picture_from_indices(picture: Picture, palette: npt.ArrayLike, chosen: IndexMap) -> Picture:
    """The picture with every pixel's colour the `chosen` row of the 8-bit
    `palette`, at the picture's own depth; alpha is kept as it was.

    Besides the picture and the index map, it needs memory for the new
    picture only: colours and alpha side by side in one array, ready to be
    written as they are.
    """
    colours = palette_for_depth(palette, picture.bits).astype(picture.rgb.dtype)
    height, width = picture.rgb.shape[:2]
    if chosen.shape != (height, width):
        raise ValueError(f"the index map must have the shape {(height, width)}, not {chosen.shape}")
    pixels = np.empty((height, width, 3 if picture.alpha is None else 4), picture.rgb.dtype)
    for rows in row_bands(height, width):
        pixels[rows, :, :3] = np.take(colours, chosen[rows], axis=0)
    if picture.alpha is None:
        return replace(picture, rgb=pixels)
    pixels[..., 3] = picture.alpha
    return replace(picture, rgb=pixels[..., :3], alpha=pixels[..., 3])


class PictureOptions(TypedDict, total=False):
    """The keyword options of index_picture."""

    metric: Metric
    dither: Method
    serpentine: bool
    strength: float
    light: Light
    threads: int | None
    band_rows: int | None
    progress: Progress | None


def convert_picture(image: ImageInput, palette: npt.ArrayLike, **options: Unpack[PictureOptions]) -> Picture:
    """The image (a Picture, a uint8 or uint16 (h, w, 3) or (h, w, 4) array,
    or a Pillow image) as a Picture with every pixel's colour replaced by the
    nearest colour of the 8-bit `palette`, at the image's own depth,
    dithered if asked (the options are those of index_picture); alpha is
    kept as it was."""
    picture = as_picture(image)
    return picture_from_indices(picture, palette, index_picture(picture, palette, **options))


def changed_pixels(before: Picture, after: Picture) -> int:
    """How many pixels got another colour."""
    height, width = before.rgb.shape[:2]
    return sum(
        int(np.count_nonzero(np.any(before.rgb[rows] != after.rgb[rows], axis=2)))
        for rows in row_bands(height, width)
    )


def changed_by_indices(picture: Picture, palette: npt.ArrayLike, chosen: IndexMap) -> int:
    """How many pixels' colours differ from their `chosen` rows of the 8-bit
    `palette`: changed_pixels without making the new picture."""
    colours = palette_for_depth(palette, picture.bits)
    height, width = picture.rgb.shape[:2]
    return sum(
        int(np.count_nonzero(np.any(picture.rgb[rows] != np.take(colours, chosen[rows], axis=0), axis=2)))
        for rows in row_bands(height, width)
    )
