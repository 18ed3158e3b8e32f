"""Mapping Dask arrays chunk by chunk, on one machine or a cluster.

Every pixel is mapped on its own, so mapping each chunk with palettra.convert
gives exactly the result of one call on the whole image, however the image
is chunked along its rows and columns. The channel axis is gathered into one
chunk (only the first three channels are kept, as convert reads no more).
"""

from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from .mapping import map_colours
from .metrics import METRICS, Metric

if TYPE_CHECKING:
    import dask.array as da
    from dask.distributed import Client


def _map_block(
    block: npt.NDArray[np.integer[Any]], color_palette: npt.NDArray[np.uint64], metric: Metric, bits: int
) -> npt.NDArray[np.integer[Any]]:
    return map_colours(block, color_palette, metric=metric, bits=bits)


def convert_dask(
    image: "da.Array | npt.NDArray[np.integer[Any]]",
    color_palette: npt.ArrayLike,
    *,
    metric: Metric = "rgb",
    bits: int = 8,
    client: "Client | None" = None,
) -> "da.Array":
    """A lazy Dask array (h, w, 3) of uint64: the nearest palette colour of
    every pixel of `image` (a Dask or NumPy array (h, w, c >= 3)).

    `color_palette` is (n, 3) in the image's own scale, as for
    palettra.convert; `metric` and `bits` are as in map_colours. With a
    dask.distributed `client`, the palette is scattered to every worker
    before any chunk is mapped, as one key all chunks depend on (the
    cluster's memory manager may later drop spare copies; a worker that
    lacks one then fetches it from another); without a client, it travels
    as a single graph node that each worker fetches once.
    """
    import dask.array as da
    from dask.delayed import delayed

    if metric not in METRICS:
        raise ValueError(f"unknown metric {metric!r}: use one of {', '.join(METRICS)}")
    array = da.asarray(image)  # type: ignore[no-untyped-call]
    if array.ndim != 3 or array.shape[2] < 3:
        raise ValueError(f"expected an image of shape (h, w, c) with c >= 3, got {array.shape}")
    array = array[:, :, :3].rechunk({2: -1})
    palette = np.asarray(color_palette, dtype=np.uint64)
    if client is not None:
        # A key of its own (no content hash): a key equal to that of an
        # earlier, already released palette could be caught mid-release.
        shared = client.scatter(palette, broadcast=True, hash=False)  # type: ignore[no-untyped-call]
    else:
        shared = delayed(palette, pure=True)
    mapped: da.Array = array.map_blocks(
        _map_block,
        shared,
        metric,
        bits,
        dtype=np.uint64,
        chunks=(array.chunks[0], array.chunks[1], (3,)),
        meta=np.empty((0, 0, 0), dtype=np.uint64),
    )
    return mapped
