"""What convert must give, computed independently with NumPy."""

import numpy as np


def nearest_colours(image, palette):
    """Per pixel, the first palette row (first three columns) at the least squared distance."""
    pixels = np.asarray(image)[..., :3].astype(np.float64)
    rows = np.array(palette)[:, :3]
    if len(rows) == 0:
        return np.zeros(pixels.shape, np.uint64)
    difference = pixels[:, :, None, :] - rows.astype(np.float64)[None, None, :, :]
    square = difference * difference
    distance = (square[..., 0] + square[..., 1]) + square[..., 2]
    return rows[np.argmin(distance, axis=2)]


def image_of_rows(palette, extra=()):
    """A one-row image holding each palette row (as indexed), then the extra pixels."""
    rows = [list(row[:3]) for row in np.array(palette).tolist()]
    return np.array([rows + [list(pixel) for pixel in extra]], np.uint64).reshape(1, -1, 3)
