"""A palette drawn as a sheet of swatches: its name on top, each colour's
index and hex value under it."""

import numpy as np
import numpy.typing as npt
from PIL import Image, ImageDraw, ImageFont

SWATCH = 72
LABEL = 30
MARGIN = 12
TITLE = 28
BACKGROUND = (255, 255, 255)
INK = (0, 0, 0)


def columns_for(count: int) -> int:
    """8 colours a row, 16 for larger palettes, fewer when there are fewer."""
    return max(1, min(count, 8 if count <= 64 else 16))


def swatch_position(index: int, count: int) -> tuple[int, int]:
    """(top, left) of swatch `index` on the sheet of a palette of `count` colours."""
    row, column = divmod(index, columns_for(count))
    return MARGIN + TITLE + row * (SWATCH + LABEL), MARGIN + column * (SWATCH + MARGIN)


def swatch_sheet(palette: npt.ArrayLike, name: str) -> npt.NDArray[np.uint8]:
    """An (h, w, 3) uint8 picture of an (n, 3) palette of 8-bit colours."""
    colours = np.asarray(palette, dtype=np.uint64).reshape(-1, 3)
    count = len(colours)
    columns = columns_for(count)
    rows = -(-count // columns)
    width = MARGIN + columns * (SWATCH + MARGIN)
    height = MARGIN + TITLE + max(rows, 1) * (SWATCH + LABEL) + MARGIN
    sheet = Image.new("RGB", (width, height), BACKGROUND)
    draw = ImageDraw.Draw(sheet)
    font = ImageFont.load_default()
    draw.text((MARGIN, MARGIN), f"{name} ({count} colours)", fill=INK, font=font)
    for index, colour in enumerate(colours):
        red, green, blue = (int(v) for v in colour)
        top, left = swatch_position(index, count)
        box = (left, top, left + SWATCH - 1, top + SWATCH - 1)
        draw.rectangle(box, fill=(red, green, blue), outline=(128, 128, 128))
        draw.text((left, top + SWATCH + 2), str(index), fill=INK, font=font)
        draw.text((left, top + SWATCH + 14), f"#{red:02x}{green:02x}{blue:02x}", fill=INK, font=font)
    return np.asarray(sheet, dtype=np.uint8).copy()
