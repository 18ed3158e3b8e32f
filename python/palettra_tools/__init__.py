"""palettra for people: palettes, palette files, images and the `palettra` command.

palettra.convert does the mapping; this package brings the rest: built-in
and file palettes as (n, 3) uint64 arrays, reading and writing images at 8
or 16 bits with their alpha, banded conversion with progress, matching in
CIELAB, and chunked conversion of Dask arrays (palettra_tools.chunked).
"""

from .errors import ImageError, PaletteError, ToolsError
from .images import Picture, read_image, write_image
from .lab import lab_coordinates, srgb_to_lab
from .mapping import (
    METRICS,
    changed_pixels,
    convert_in_bands,
    convert_lab,
    convert_picture,
    map_colours,
    palette_for_depth,
)
from .named import PALETTES, NamedPalette
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
    "FORMATS",
    "METRICS",
    "PALETTES",
    "ImageError",
    "NamedPalette",
    "PaletteError",
    "Picture",
    "ToolsError",
    "changed_pixels",
    "convert_in_bands",
    "convert_lab",
    "convert_picture",
    "format_act",
    "format_gpl",
    "format_hex",
    "format_jasc",
    "lab_coordinates",
    "load_palette",
    "map_colours",
    "palette_for_depth",
    "parse_act",
    "parse_gpl",
    "parse_hex",
    "parse_jasc",
    "read_image",
    "read_palette",
    "srgb_to_lab",
    "write_image",
    "write_palette",
]
