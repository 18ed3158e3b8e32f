"""Pillow images out: a "P" image holding the palette in order and, for every
pixel, the row of it that the exact mapping chose."""

from pathlib import Path

import numpy as np
import numpy.typing as npt
from PIL import Image

from .dithering import IndexMap, Method
from .images import Picture
from .inputs import ImageInput, as_picture
from .mapping import index_picture, palette_for_depth
from .metrics import Metric
from .palette_files import load_palette
from .palette_making import eight_bit_palette, make_palette

# Entries of a "P" image's palette.
P_ENTRIES = 256


def _palette(
    picture: Picture, palette: npt.ArrayLike | str | Path | None, colours: int | None, metric: Metric
) -> npt.NDArray[np.uint64]:
    if palette is not None and colours is not None:
        raise ValueError("give a palette or colours=N, not both")
    if colours is not None:
        made = eight_bit_palette(make_palette(picture, colours, metric=metric), picture.bits)
        # A picture without a pixel that counts still gets an entry.
        return made if len(made) else np.zeros((1, 3), np.uint64)
    if palette is None:
        raise ValueError("give a palette, or colours=N to make one from the image")
    if isinstance(palette, (str, Path)):
        palette = load_palette(palette)
    table = palette_for_depth(palette, 8)
    if len(table) > P_ENTRIES:
        raise ValueError(
            f'a "P" image holds at most {P_ENTRIES} colours and this palette has {len(table)}: '
            "palettra_tools.indices gives the index map of a palette of any size"
        )
    return table


def _eight_bit_alpha(picture: Picture) -> npt.NDArray[np.int64] | None:
    if picture.alpha is None:
        return None
    alpha = picture.alpha.astype(np.int64)
    return alpha if picture.bits == 8 else (2 * alpha + 257) // 514


def _with_transparency(
    chosen: IndexMap, alpha: npt.NDArray[np.int64] | None, table: npt.NDArray[np.uint64]
) -> tuple[npt.NDArray[np.uint8], npt.NDArray[np.uint64], int | bytes | None]:
    """The entries of the pixels, the palette's entries and Pillow's
    `transparency`: partly transparent pixels get an entry after the palette
    for each pair of row and alpha, and all fully transparent ones share one
    entry, which is then all of `transparency` when no pixel is partly
    transparent (as GIF files need it)."""
    if alpha is None or np.all(alpha == 255):
        return chosen.astype(np.uint8), table, None
    entries = chosen.astype(np.int64)
    partial = (alpha != 0) & (alpha != 255)
    keys = entries[partial] * 256 + alpha[partial]
    pairs = np.unique(keys)
    entries[partial] = len(table) + np.searchsorted(pairs, keys)
    rows = [table, table[pairs // 256]]
    alphas = [255] * len(table) + (pairs % 256).tolist()
    transparent = alpha == 0
    if np.any(transparent):
        entries[transparent] = len(alphas)
        rows.append(np.zeros((1, 3), np.uint64))
        alphas.append(0)
    if len(alphas) > P_ENTRIES:
        raise ValueError(
            f'a "P" image holds at most {P_ENTRIES} entries and this one needs {len(alphas)}: {len(table)} '
            f"palette colours, {len(pairs)} pairs of colour and partial alpha, and one for transparent pixels "
            "if there are any; palettra_tools.indices gives the index map without them"
        )
    transparency: int | bytes = len(table) if len(pairs) == 0 else bytes(alphas)
    return entries.astype(np.uint8), np.concatenate(rows), transparency


def quantize(
    image: ImageInput,
    palette: npt.ArrayLike | str | Path | None = None,
    *,
    colours: int | None = None,
    dither: Method = "none",
    serpentine: bool = False,
    strength: float = 1.0,
    metric: Metric = "rgb",
) -> Image.Image:
    """The image (a Pillow image of any common mode, a Picture or an array) as
    a Pillow "P" image: its palette is `palette` (8-bit colours, at most 256,
    in order; or a built-in name or palette file) or one of `colours` colours
    made from the image (see make_palette), and its pixels are the rows of
    that palette which `dither` (see palettra_tools.dither) chooses,
    exactly. 16-bit images are mapped at 16 bits.

    Transparency is kept as Pillow keeps it in "P" images: fully transparent
    pixels share an entry after the palette, named by info["transparency"];
    partly transparent ones, where there are any, get an entry for each
    pair of colour and alpha, and info["transparency"] then holds every
    entry's alpha."""
    picture = as_picture(image)
    table = _palette(picture, palette, colours, metric)
    chosen = index_picture(picture, table, metric=metric, dither=dither, serpentine=serpentine, strength=strength)
    entries, colours_out, transparency = _with_transparency(chosen, _eight_bit_alpha(picture), table)
    result = Image.fromarray(entries, "P")
    result.putpalette(colours_out.astype(np.uint8).tobytes(), "RGB")
    if transparency is not None:
        result.info["transparency"] = transparency
    return result

