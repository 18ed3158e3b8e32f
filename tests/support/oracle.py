"""An independent reference for convert, written with NumPy alone."""

import numpy as np


def nearest_colours(image, palette):
    """The (h, w, 3) uint64 array that convert should return.

    Each step is a separate ufunc call, so every subtraction, product and sum
    is rounded on its own; argmin gives the first of equal minima.
    """
    pixels = np.asarray(image)[..., :3].astype(np.float64)
    colours = np.asarray(palette)[:, :3]
    height, width = pixels.shape[:2]
    if len(colours) == 0:
        return np.zeros((height, width, 3), np.uint64)
    difference = pixels[:, :, np.newaxis, :] - colours.astype(np.float64)
    square = difference * difference
    distance = (square[..., 0] + square[..., 1]) + square[..., 2]
    return colours[np.argmin(distance, axis=-1)].astype(np.uint64)
