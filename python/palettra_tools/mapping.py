"""Mapping images to palettes with palettra.convert as the engine."""

from collections.abc import Callable, Iterator
from dataclasses import replace
from typing import Any

import numpy as np
import numpy.typing as npt

import palettra

from . import lab
from .errors import PaletteError
from .images import Picture

METRICS = ("rgb", "lab")

# Pixels per band when the caller does not choose: small enough for a
# progress bar to move often, large enough that the per-call cost is lost.
BAND_PIXELS = 1 << 16

Progress = Callable[[int, int], None]
"""Called after every band with (rows done, rows in all)."""


def _bands(height: int, width: int, band_rows: int | None) -> Iterator[slice]:
    rows = band_rows if band_rows is not None else max(1, BAND_PIXELS // max(width, 1))
    if rows < 1:
        raise ValueError(f"band_rows must be at least 1, got {rows}")
    for start in range(0, height, rows):
        yield slice(start, min(start + rows, height))


def _banded(
    img: npt.NDArray[np.generic],
    band: Callable[[npt.NDArray[np.generic]], npt.NDArray[np.uint64]],
    band_rows: int | None,
    progress: Progress | None,
) -> npt.NDArray[np.uint64]:
    height, width = img.shape[0], img.shape[1]
    result = np.empty((height, width, 3), dtype=np.uint64)
    for rows in _bands(height, width, band_rows):
        result[rows] = band(img[rows])
        if progress is not None:
            progress(rows.stop, height)
    return result


def convert_in_bands(
    img: npt.NDArray[np.generic],
    color_palette: npt.NDArray[np.uint64],
    band_rows: int | None = None,
    progress: Progress | None = None,
) -> npt.NDArray[np.uint64]:
    """palettra.convert(img, color_palette), a band of rows at a time.

    Every pixel is mapped on its own, so the result is the one of a single
    call; the bands only let `progress` report as the work goes on.
    """
    if img.ndim != 3 or img.shape[0] == 0:
        # Nothing to split: one call gives its result, or its error.
        return palettra.convert(img, color_palette)
    return _banded(img, lambda part: palettra.convert(part, color_palette), band_rows, progress)


def convert_lab(
    img: npt.NDArray[np.integer[Any]],
    color_palette: npt.NDArray[np.uint64],
    bits: int,
    band_rows: int | None = None,
    progress: Progress | None = None,
) -> npt.NDArray[np.uint64]:
    """The palette colour nearest in CIELAB (ΔE*ab) for every pixel; see `lab`."""
    palette = np.asarray(color_palette, dtype=np.uint64).reshape(-1, 3)
    if len(palette) == 0:
        raise PaletteError("the palette has no colours")
    palette_lab = lab.lab_coordinates(palette, bits)
    lookup = lab.RowLookup(palette_lab)

    def band(part: npt.NDArray[np.generic]) -> npt.NDArray[np.uint64]:
        chosen = palettra.convert(lab.lab_coordinates(part, bits), palette_lab)
        return palette[lookup.rows(chosen)]

    return _banded(img, band, band_rows, progress)


def map_colours(
    img: npt.NDArray[np.integer[Any]],
    color_palette: npt.NDArray[np.uint64],
    *,
    metric: str = "rgb",
    bits: int = 8,
    band_rows: int | None = None,
    progress: Progress | None = None,
) -> npt.NDArray[np.uint64]:
    """Nearest palette colour of every pixel of `img` (h, w, c >= 3), with the
    palette in the image's own scale. `metric` "rgb" is palettra.convert's
    squared RGB distance; "lab" is ΔE*ab, for which `bits` gives the scale."""
    if metric == "rgb":
        return convert_in_bands(img, color_palette, band_rows, progress)
    if metric == "lab":
        return convert_lab(img, color_palette, bits, band_rows, progress)
    raise ValueError(f"unknown metric {metric!r}: use one of {', '.join(METRICS)}")


def palette_for_depth(palette: npt.ArrayLike, bits: int) -> npt.NDArray[np.uint64]:
    """An 8-bit palette scaled to `bits` bits: ×257 for 16 bits, so 0xff becomes 0xffff."""
    array = np.asarray(palette)
    if array.ndim != 2 or array.shape[1] != 3 or len(array) == 0:
        raise PaletteError(f"a palette is a non-empty (n, 3) array, got shape {array.shape}")
    if not np.issubdtype(array.dtype, np.integer) or array.min() < 0 or array.max() > 255:
        raise PaletteError("palettes hold 8-bit colours: integers 0 to 255")
    array = array.astype(np.uint64)
    return array * np.uint64(257) if bits == 16 else array


def convert_picture(
    picture: Picture,
    palette: npt.ArrayLike,
    *,
    metric: str = "rgb",
    band_rows: int | None = None,
    progress: Progress | None = None,
) -> Picture:
    """The picture with every pixel's colour replaced by the nearest colour of
    the 8-bit `palette`, at the picture's own depth; alpha is kept as it was."""
    scaled = palette_for_depth(palette, picture.bits)
    mapped = map_colours(
        picture.rgb, scaled, metric=metric, bits=picture.bits, band_rows=band_rows, progress=progress
    )
    return replace(picture, rgb=mapped.astype(picture.rgb.dtype))


def changed_pixels(before: Picture, after: Picture) -> int:
    """How many pixels got another colour."""
    return int(np.count_nonzero(np.any(before.rgb != after.rgb, axis=2)))
