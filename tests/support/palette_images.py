"""Images made of a palette's own colours."""

import numpy as np


def image_of_rows(palette, extra=()):
    """A one-row image holding each palette row (as indexed), then the extra pixels."""
    rows = [list(row[:3]) for row in np.array(palette).tolist()]
    return np.array([rows + [list(pixel) for pixel in extra]], np.uint64).reshape(1, -1, 3)
