"""Index maps and dithering: the chosen palette row of every pixel.

`indices` picks the exactly nearest row of every pixel, as palettra.convert
does; `dither` first moves each pixel's value by the error carried from its
neighbours (error diffusion) or by an offset that depends on its position
(ordered dithering), then picks the exactly nearest row of the moved value.
The arithmetic is integer throughout and written down in docs/dithering.md,
so the same input gives the same index map everywhere.
"""

from typing import Any, Literal, get_args

import numpy as np
import numpy.typing as npt

from . import _engine, lab
from .bands import row_bands
from .inputs import ImageInput, image_channels
from .metrics import Metric, check_metric
from .threads import run_bands, split_rows, thread_count

Method = Literal[
    "none",
    "floyd-steinberg",
    "false-floyd-steinberg",
    "jarvis-judice-ninke",
    "stucki",
    "burkes",
    "sierra",
    "sierra-two-row",
    "sierra-lite",
    "atkinson",
    "bayer2",
    "bayer4",
    "bayer8",
    "bayer16",
]
METHODS: tuple[Method, ...] = get_args(Method)
ORDERED: dict[Method, int] = {"bayer2": 2, "bayer4": 4, "bayer8": 8, "bayer16": 16}
ERROR_DIFFUSION: tuple[Method, ...] = tuple(m for m in METHODS if m != "none" and m not in ORDERED)

# strength is applied as an integer factor in units of 1/STRENGTH_ONE.
STRENGTH_ONE = 4096
# Integer Lab coordinates lie in [0, 2**21); dithering keeps them there.
LAB_TOP = (1 << 21) - 1

IndexMap = npt.NDArray[np.unsignedinteger[Any]]


def index_dtype(rows: int) -> np.dtype[Any]:
    """uint8 for palettes of at most 256 rows, uint16 up to 65,536, uint32 beyond."""
    if rows <= 1 << 8:
        return np.dtype(np.uint8)
    if rows <= 1 << 16:
        return np.dtype(np.uint16)
    return np.dtype(np.uint32)


def _image(img: ImageInput) -> npt.NDArray[np.integer[Any]]:
    array, _ = image_channels(img)
    if not array.dtype.isnative:
        array = array.astype(array.dtype.newbyteorder("="))
    return array


def _palette(palette: npt.ArrayLike, pixels: int) -> npt.NDArray[np.uint64]:
    """A private uint64 copy of the first three columns."""
    array = np.asarray(palette)
    if array.ndim != 2 or array.shape[1] < 3:
        raise ValueError(f"the palette must be an (n, m) array with m >= 3, got shape {array.shape}")
    if not np.issubdtype(array.dtype, np.integer):
        raise TypeError(f"the palette must hold integers, not {array.dtype}")
    if len(array) == 0 and pixels:
        raise ValueError("the palette has no colours")
    if array.size and array[:, :3].min() < 0:
        raise ValueError("palette values must not be negative")
    return np.array(array[:, :3], dtype=np.uint64, order="C")


def _depth(image: npt.NDArray[np.integer[Any]]) -> int:
    if image.dtype == np.uint8:
        return 8
    if image.dtype == np.uint16:
        return 16
    raise TypeError(f"this needs a uint8 or uint16 image, not {image.dtype}")


def lab_image(image: npt.NDArray[np.integer[Any]], bits: int) -> npt.NDArray[np.uint32]:
    """The integer Lab coordinates (see `lab`) of every pixel, computed a band
    of rows at a time so that the floating-point work stays small."""
    height, width = image.shape[:2]
    coordinates = np.empty((height, width, 3), dtype=np.uint32)
    for rows in row_bands(height, width):
        coordinates[rows] = lab.lab_coordinates(image[rows], bits)
    return coordinates


def indices(
    img: ImageInput, palette: npt.ArrayLike, *, metric: Metric = "rgb", threads: int | None = None
) -> IndexMap:
    """The (h, w) map of the first nearest palette row of every pixel of `img`
    (a Picture, an (h, w, 3) or (h, w, 4) integer array or a Pillow image;
    alpha plays no part), with the palette in the image's scale.

    With metric "rgb", palette[indices(img, palette)] is palettra.convert(img,
    palette); with "lab" (uint8 or uint16 images) the rows are nearest in
    integer CIELAB, as `lab` describes.

    `threads` is how many threads share the work, a band of rows each: None
    for every processor the process may use, 1 for the calling thread only.
    The map is the same for every count.
    """
    check_metric(metric)
    count = thread_count(threads)
    image = _image(img)
    height, width = image.shape[:2]
    rows = _palette(palette, height * width)
    out = np.empty((height, width), dtype=index_dtype(len(rows)))
    if metric == "rgb":
        run_bands(split_rows(height, width, count), count, lambda band: _engine.nearest_indices(image[band], rows, out[band]))
        return out
    bits = _depth(image)
    if image.size and rows.max(initial=0) >= 1 << bits:
        raise ValueError(f"palette values must lie in the image's channel range 0 to {(1 << bits) - 1}")
    palette_lab = lab.lab_coordinates(rows, bits)
    # Band by band, the coordinates never take more room than one band's
    # per thread.
    run_bands(
        list(row_bands(height, width)),
        count,
        lambda band: _engine.nearest_indices(lab.lab_coordinates(image[band], bits), palette_lab, out[band]),
    )
    return out


def _strength(strength: float) -> int:
    if isinstance(strength, bool) or not isinstance(strength, (int, float)):
        raise TypeError(f"strength must be a number, not {type(strength).__name__}")
    if not 0.0 <= strength <= 1.0:
        raise ValueError(f"strength must lie in 0 to 1, got {strength}")
    return round(strength * STRENGTH_ONE)


def bayer_matrix(size: int) -> npt.NDArray[np.int64]:
    """The (size, size) threshold matrix, values 0 to size² − 1."""
    matrix = np.zeros((1, 1), dtype=np.int64)
    while len(matrix) < size:
        matrix = np.block([[4 * matrix, 4 * matrix + 2], [4 * matrix + 3, 4 * matrix + 1]])
    return matrix


def _steps(rows: int) -> int:
    """One less than the integer nearest to the cube root of the row count, at least 1."""
    root = 0
    while (root + 1) ** 3 <= rows:
        root += 1
    if 8 * rows >= (2 * root + 1) ** 3:
        root += 1
    return max(1, root - 1)


def ordered_offsets(size: int, palette: npt.NDArray[np.uint64], strength: int) -> npt.NDArray[np.int64]:
    """The (size, size, 3) offsets added to a pixel's channels by its place in the pattern."""
    columns = palette.astype(np.int64)
    spread = (columns.max(axis=0) - columns.min(axis=0)) // _steps(len(palette))
    area = size * size
    centred = 2 * bayer_matrix(size) + 1 - area
    offsets: npt.NDArray[np.int64] = (centred[:, :, None] * spread * strength) // (2 * area * STRENGTH_ONE)
    return np.ascontiguousarray(offsets)


def dither_block(
    img: ImageInput,
    palette: npt.ArrayLike,
    method: Method,
    *,
    serpentine: bool = False,
    strength: float = 1.0,
    metric: Metric = "rgb",
    origin: tuple[int, int] = (0, 0),
    threads: int | None = None,
) -> IndexMap:
    """`dither` for a block of a larger image whose first pixel is at
    `origin` there; ordered thresholds follow the position in the whole image."""
    if method not in METHODS:
        raise ValueError(f"unknown dithering method {method!r}: use one of {', '.join(METHODS)}")
    check_metric(metric)
    factor = _strength(strength)
    image = _image(img)
    bits = _depth(image)
    count = thread_count(threads)
    if method == "none":
        return indices(image, palette, metric=metric, threads=count)
    height, width = image.shape[:2]
    rows = _palette(palette, height * width)
    top = (1 << bits) - 1
    if rows.size and int(rows.max()) > top:
        raise ValueError(f"palette values must lie in the image's channel range 0 to {top}")
    out = np.empty((height, width), dtype=index_dtype(len(rows)))
    if height * width == 0:
        return out
    values: npt.NDArray[np.integer[Any]] = image
    if metric == "lab":
        values, rows, top = lab_image(image, bits), lab.lab_coordinates(rows, bits), LAB_TOP
    if method in ORDERED:
        offsets = ordered_offsets(ORDERED[method], rows, factor)
        run_bands(
            split_rows(height, width, count),
            count,
            lambda band: _engine.order(
                values[band], rows, out[band], offsets, origin[0] + band.start, origin[1], top
            ),
        )
    else:
        _engine.diffuse(values, rows, out, method, bool(serpentine), factor, top)
    return out


def dither(
    img: ImageInput,
    palette: npt.ArrayLike,
    method: Method = "floyd-steinberg",
    *,
    serpentine: bool = False,
    strength: float = 1.0,
    metric: Metric = "rgb",
    threads: int | None = None,
) -> IndexMap:
    """The (h, w) index map of an 8- or 16-bit image (as `indices` takes it)
    dithered to the palette (in the image's scale).

    `method` is one of METHODS: "none" (the same as `indices`), an error
    diffusion kernel, or an ordered Bayer pattern. `serpentine` scans every
    other row right to left (error diffusion only); `strength` from 0 (no
    dithering) to 1 scales the carried error or the ordered offsets.
    `threads` is as for `indices`; error diffusion, where every pixel waits
    for its neighbours' errors, runs on the calling thread.
    """
    return dither_block(
        img, palette, method, serpentine=serpentine, strength=strength, metric=metric, threads=threads
    )
