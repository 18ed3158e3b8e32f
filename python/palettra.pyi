from typing import Any, Protocol, SupportsIndex

import numpy as np
import numpy.typing as npt

__all__ = ["convert"]

class _Image(Protocol):
    """Anything with a `shape` (h, w, c) and items at (row, column, channel)."""

    @property
    def shape(self) -> tuple[int, ...]: ...
    def __getitem__(self, key: tuple[int, int, int], /) -> SupportsIndex: ...

def convert(
    img: _Image | npt.NDArray[np.integer[Any]],
    color_palette: npt.NDArray[np.uint64],
) -> npt.NDArray[np.uint64]:
    """Every pixel of `img` (channels 0 to 2) replaced by the nearest row of
    `color_palette` (first three columns; squared Euclidean distance in
    double precision; ties to the lowest row; (0, 0, 0) for an empty palette),
    as a new (h, w, 3) uint64 array."""
