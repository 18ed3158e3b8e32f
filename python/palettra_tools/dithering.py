"""Index maps and dithering: the chosen palette row of every pixel.

`indices` picks the exactly nearest row of every pixel, as palettra.convert
does; `dither` first moves each pixel's value by the error carried from its
neighbours (error diffusion) or by an offset that depends on its position
(ordered dithering), then picks the exactly nearest row of the moved value.
Either can carry its error or offsets in linear light (`light="linear"`),
as screens and eyes average colours, or in code values. The arithmetic is
integer throughout and written down in docs/dithering.md, so the same input
gives the same index map everywhere.
"""

from functools import cache
from importlib import resources
from typing import Any, Literal, get_args

import numpy as np
import numpy.typing as npt

from . import _engine, lab
from .bands import row_bands
from .inputs import ImageInput, image_channels
from .light import WHITE, Light, check_light, linear_table
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
    "blue-noise",
]
METHODS: tuple[Method, ...] = get_args(Method)
ORDERED: dict[Method, int] = {"bayer2": 2, "bayer4": 4, "bayer8": 8, "bayer16": 16, "blue-noise": 64}
ERROR_DIFFUSION: tuple[Method, ...] = tuple(m for m in METHODS if m != "none" and m not in ORDERED)

# Where the benchmark (bench/look_benchmark.py) puts it: see docs/dithering.md.
DEFAULT_LIGHT: Light = "linear"
# In linear light, diffused values may go this far below black and above
# white before they are clamped. Dark colours have small linear values, so
# clamping at black would drop most of the error of dark areas and lighten
# them; a bound is still needed where the palette cannot reach a colour and
# the error would grow without end. A quarter of white measured best
# (bench/look_benchmark.py, docs/dithering.md).
LINEAR_MARGIN = WHITE // 4
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


def _in_image_scale(
    palette: npt.ArrayLike, image: npt.NDArray[np.integer[Any]], palette_bits: int | None
) -> npt.NDArray[np.uint64]:
    """The palette's rows in the image's scale: as they are (palette_bits
    None, or the image's own depth), or an 8-bit palette ×257 for a 16-bit
    image. A palette left as it is whose values all fit 8 bits cannot be
    meant for a 16-bit image's values, and is refused."""
    rows = _palette(palette, image.shape[0] * image.shape[1])
    top = int(rows.max(initial=0))
    if palette_bits is None:
        if image.dtype == np.uint16 and rows.size and top <= 255:
            raise ValueError(
                "the palette's values all lie in 0 to 255, as an 8-bit palette's do, and the image is 16-bit: "
                "pass palette_bits=8 to scale it to the image (×257, 255 becomes 65535), "
                "or palette_bits=16 if it is meant as it is"
            )
        return rows
    if palette_bits not in (8, 16):
        raise ValueError(f"palette_bits must be 8, 16 or None (the palette in the image's scale), not {palette_bits!r}")
    bits = _depth(image)
    if top >= 1 << palette_bits:
        raise ValueError(f"a {palette_bits}-bit palette holds values 0 to {(1 << palette_bits) - 1}, this one {top}")
    if palette_bits > bits:
        raise ValueError("a 16-bit palette is for uint16 images, and this one is uint8")
    return rows * np.uint64(257) if palette_bits < bits else rows


def indices(
    img: ImageInput,
    palette: npt.ArrayLike,
    *,
    metric: Metric = "rgb",
    palette_bits: int | None = None,
    threads: int | None = None,
) -> IndexMap:
    """The (h, w) map of the first nearest palette row of every pixel of `img`
    (a Picture, an (h, w, 3) or (h, w, 4) integer array or a Pillow image;
    alpha plays no part).

    The palette is in the image's scale, or, with `palette_bits` 8, an 8-bit
    palette (values 0 to 255) that is scaled to a uint16 image's (×257); a
    palette whose values all fit 8 bits is refused for a uint16 image unless
    `palette_bits` says which it is. With metric "rgb", palette[indices(img,
    palette)] is palettra.convert(img, palette) for the palette in the
    image's scale; with "lab" (uint8 or uint16 images) the rows are nearest
    in integer CIELAB, as `lab` describes.

    `threads` is how many threads share the work, a band of rows each: None
    for every processor the process may use, 1 for the calling thread only.
    The map is the same for every count.
    """
    image = _image(img)
    return nearest_rows(image, _in_image_scale(palette, image, palette_bits), metric=metric, threads=threads)


def nearest_rows(
    img: ImageInput, palette: npt.ArrayLike, *, metric: Metric = "rgb", threads: int | None = None
) -> IndexMap:
    """`indices` for a palette known to be in the image's scale."""
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


@cache
def blue_noise_mask() -> npt.NDArray[np.int64]:
    """The (64, 64) void-and-cluster threshold mask, values 0 to 4095, made
    by scripts/make_blue_noise.py."""
    text = resources.files(__package__).joinpath("blue_noise_64.txt").read_text()
    mask = np.array([line.split() for line in text.splitlines()], dtype=np.int64)
    mask.flags.writeable = False
    return mask


def threshold_matrix(method: Method) -> npt.NDArray[np.int64]:
    """The threshold matrix of an ordered method: N×N, values 0 to N² − 1."""
    return blue_noise_mask() if method == "blue-noise" else bayer_matrix(ORDERED[method])


def _steps(rows: int) -> int:
    """One less than the integer nearest to the cube root of the row count, at least 1."""
    root = 0
    while (root + 1) ** 3 <= rows:
        root += 1
    if 8 * rows >= (2 * root + 1) ** 3:
        root += 1
    return max(1, root - 1)


def ordered_offsets(method: Method, palette: npt.NDArray[np.uint64], strength: int) -> npt.NDArray[np.int64]:
    """The (N, N, 3) offsets added to a pixel's channels by its place in the pattern."""
    columns = palette.astype(np.int64)
    spread = (columns.max(axis=0) - columns.min(axis=0)) // _steps(len(palette))
    matrix = threshold_matrix(method)
    area = matrix.size
    centred = 2 * matrix + 1 - area
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
    light: Light = DEFAULT_LIGHT,
    origin: tuple[int, int] = (0, 0),
    threads: int | None = None,
) -> IndexMap:
    """`dither` for a block of a larger image whose first pixel is at
    `origin` there; ordered thresholds follow the position in the whole image."""
    if method not in METHODS:
        raise ValueError(f"unknown dithering method {method!r}: use one of {', '.join(METHODS)}")
    check_metric(metric)
    check_light(light)
    factor = _strength(strength)
    image = _image(img)
    bits = _depth(image)
    count = thread_count(threads)
    if method == "none":
        return nearest_rows(image, palette, metric=metric, threads=count)
    height, width = image.shape[:2]
    rows = _palette(palette, height * width)
    top = (1 << bits) - 1
    if rows.size and int(rows.max()) > top:
        raise ValueError(f"palette values must lie in the image's channel range 0 to {top}")
    out = np.empty((height, width), dtype=index_dtype(len(rows)))
    if height * width == 0:
        return out
    values: npt.NDArray[np.integer[Any]] = image
    linear_lab = light == "linear" and metric == "lab"
    transfer = None
    if light == "linear":
        # The engine reads the image through the table, and matches by Lab
        # of linear values itself, value by value.
        transfer = linear_table(bits)
        rows, top = transfer[rows].astype(np.uint64), WHITE
    elif metric == "lab":
        values, rows, top = lab_image(image, bits), lab.lab_coordinates(rows, bits), LAB_TOP
    if method in ORDERED:
        offsets = ordered_offsets(method, rows, factor)
        run_bands(
            split_rows(height, width, count),
            count,
            lambda band: _engine.order(
                values[band], rows, out[band], offsets, origin[0] + band.start, origin[1], top, linear_lab, transfer
            ),
        )
    else:
        margin = LINEAR_MARGIN if light == "linear" else 0
        # A lane per band's worth of rows: small images stay on the calling thread.
        lanes = len(split_rows(height, width, count))
        _engine.diffuse(values, rows, out, method, bool(serpentine), factor, top, linear_lab, transfer, margin, lanes)
    return out


def dither(
    img: ImageInput,
    palette: npt.ArrayLike,
    method: Method = "floyd-steinberg",
    *,
    serpentine: bool = False,
    strength: float = 1.0,
    metric: Metric = "rgb",
    light: Light = DEFAULT_LIGHT,
    palette_bits: int | None = None,
    threads: int | None = None,
) -> IndexMap:
    """The (h, w) index map of an 8- or 16-bit image (as `indices` takes it)
    dithered to the palette (in the image's scale, or scaled from 8 bits
    with `palette_bits` 8, as for `indices`).

    `method` is one of METHODS: "none" (the same as `indices`), an error
    diffusion kernel, or an ordered pattern (Bayer or blue noise).
    `serpentine` scans every other row right to left (error diffusion only);
    `strength` from 0 (no dithering) to 1 scales the carried error or the
    ordered offsets. `light` "linear" carries them in linear light and
    compares colours there (by squared distance of the linear values, or by
    the Lab coordinates of the linear value for metric "lab"); "srgb" in
    code values. `threads` is as for `indices`. Error diffusion runs as a
    wavefront, each row a few pixels behind the row above it, one thread a
    row; a serpentine scan's backwards rows need the whole row above first,
    so serpentine error diffusion runs on the calling thread alone. The map
    is the same for every count.
    """
    image = _image(img)
    rows = _in_image_scale(palette, image, palette_bits)
    return dither_block(
        image, rows, method, serpentine=serpentine, strength=strength, metric=metric, light=light, threads=threads
    )
