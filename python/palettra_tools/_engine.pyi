# The native companion of palettra_tools; see palettra_tools.dithering.
from typing import Any

import numpy as np
import numpy.typing as npt

def nearest_indices(
    img: npt.NDArray[np.integer[Any]], palette: npt.NDArray[np.uint64], out: npt.NDArray[np.unsignedinteger[Any]], /
) -> None: ...
def diffuse(
    img: npt.NDArray[np.integer[Any]],
    palette: npt.NDArray[np.uint64],
    out: npt.NDArray[np.unsignedinteger[Any]],
    method: str,
    serpentine: bool,
    strength: int,
    top: int,
    linear_lab: bool,
    transfer: npt.NDArray[np.uint32] | None,
    margin: int,
    threads: int,
    /,
) -> None: ...
def order(
    img: npt.NDArray[np.integer[Any]],
    palette: npt.NDArray[np.uint64],
    out: npt.NDArray[np.unsignedinteger[Any]],
    offsets: npt.NDArray[np.int64],
    origin_row: int,
    origin_column: int,
    top: int,
    linear_lab: bool,
    transfer: npt.NDArray[np.uint32] | None,
    /,
) -> None: ...
