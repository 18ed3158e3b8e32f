"""palettra for people: palettes, palette files, images and the `palettra` command.

palettra.convert does the mapping; this package brings the rest: built-in
and file palettes as (n, 3) uint64 arrays, reading images upright and in
sRGB at 8 or 16 bits with their alpha, writing them as PNG, GIF or lossless
WebP, every frame of animations (`read_frames`, `write_frames`), banded
conversion with progress, matching in CIELAB, index maps and dithering
(`indices`, `dither`), and chunked conversion of Dask arrays
(palettra_tools.chunked); palettes made from images (`make_palette`); and
Pillow "P" images mapped exactly (`quantize`).
"""

# The release number, read from here by the build as well.
__version__ = "0.1.0"

from .animation import Animation, Frame, read_frames, write_frames
from .dithering import METHODS, Method, dither, indices
from .errors import ImageError, ImageTooLargeError, PaletteError, ToolsError, ToolsWarning
from .images import DEFAULT_MAX_PIXELS, Picture, read_image
from .lab import lab_coordinates, srgb_to_lab
from .mapping import (
    changed_pixels,
    convert_in_bands,
    convert_lab,
    convert_picture,
    map_colours,
    palette_for_depth,
)
from .metrics import METRICS, Metric
from .named import PALETTES, NamedPalette
from .output import output_format, write_image
from .palette_making import make_palette
from .quantizing import quantize
from .palette_files import (
    FORMATS,
    format_act,
    format_gpl,
    format_hex,
    format_jasc,
    load_palette,
    parse_act,
    parse_gpl,
    parse_hex,
    parse_jasc,
    read_palette,
    write_palette,
)

__all__ = [
    "Animation",
    "DEFAULT_MAX_PIXELS",
    "FORMATS",
    "Frame",
    "METHODS",
    "METRICS",
    "Method",
    "Metric",
    "PALETTES",
    "ImageError",
    "ImageTooLargeError",
    "NamedPalette",
    "PaletteError",
    "Picture",
    "ToolsError",
    "ToolsWarning",
    "changed_pixels",
    "convert_in_bands",
    "convert_lab",
    "convert_picture",
    "dither",
    "format_act",
    "format_gpl",
    "format_hex",
    "format_jasc",
    "indices",
    "lab_coordinates",
    "load_palette",
    "make_palette",
    "map_colours",
    "output_format",
    "palette_for_depth",
    "parse_act",
    "parse_gpl",
    "parse_hex",
    "parse_jasc",
    "quantize",
    "read_frames",
    "read_image",
    "read_palette",
    "srgb_to_lab",
    "write_frames",
    "write_image",
    "write_palette",
]
