from typing import Any

import numpy as np
import numpy.typing as npt

__all__ = ["convert"]

def convert(
    img: npt.NDArray[np.integer[Any]],
    color_palette: npt.NDArray[np.uint64],
) -> npt.NDArray[np.uint64]:
    """Every pixel of `img` (channels 0 to 2) replaced by the nearest row of
    `color_palette` (first three columns; squared Euclidean distance in
    double precision; ties to the lowest row; (0, 0, 0) for an empty palette),
    as a new (h, w, 3) uint64 array.

    Any object with a `shape` (h, w, c) and integer items at (row, column,
    channel) is read too, item by item; the type names integer arrays only,
    so that a checker flags the float arrays that fail at run time."""
