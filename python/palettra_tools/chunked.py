"""Mapping Dask arrays chunk by chunk, on one machine or a cluster.

Every pixel is mapped on its own, so mapping each chunk with palettra.convert
gives exactly the result of one call on the whole image, however the image
is chunked along its rows and columns. The channel axis is gathered into one
chunk (only the first three channels are kept, as convert reads no more).
Index maps and ordered dithering (dither_dask) split the same way: an
ordered pattern follows each pixel's position in the whole image.
"""

from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from .dithering import DEFAULT_LIGHT, ORDERED, IndexMap, Method, dither_block, index_dtype, nearest_rows
from .light import Light
from .mapping import map_colours
from .metrics import Metric, check_metric

if TYPE_CHECKING:
    import dask.array as da
    from dask.distributed import Client


def _colour_channels(image: "da.Array | npt.NDArray[np.integer[Any]]", metric: Metric) -> Any:
    """Channels 0 to 2 of the image as a Dask array, in one chunk (untyped:
    Dask's map_blocks is not typed for the functions it maps)."""
    import dask.array as da

    check_metric(metric)
    array = da.asarray(image)  # type: ignore[no-untyped-call]
    if array.ndim != 3 or array.shape[2] < 3:
        raise ValueError(f"expected an image of shape (h, w, c) with c >= 3, got {array.shape}")
    return array[:, :, :3].rechunk({2: -1})


def _shared(palette: npt.NDArray[np.uint64], client: "Client | None") -> Any:
    """The palette as one input that every block depends on."""
    from dask.delayed import delayed

    if client is None:
        return delayed(palette, pure=True)
    # A key of its own (no content hash): a key equal to that of an
    # earlier, already released palette could be caught mid-release.
    return client.scatter(palette, broadcast=True, hash=False)  # type: ignore[no-untyped-call]


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
    array = _colour_channels(image, metric)
    palette = np.asarray(color_palette, dtype=np.uint64)
    mapped: da.Array = array.map_blocks(
        _map_block,
        _shared(palette, client),
        metric,
        bits,
        dtype=np.uint64,
        chunks=(array.chunks[0], array.chunks[1], (3,)),
        meta=np.empty((0, 0, 0), dtype=np.uint64),
    )
    return mapped


def _index_block(
    block: npt.NDArray[np.integer[Any]],
    color_palette: npt.NDArray[np.uint64],
    method: Method,
    strength: float,
    metric: Metric,
    light: Light,
    block_info: dict[Any, Any] | None = None,
) -> IndexMap:
    # Dask spreads the blocks over its own workers.
    if method == "none":
        return nearest_rows(block, color_palette, metric=metric, threads=1)
    # Where this block starts in the whole image: the pattern continues across blocks.
    (row, _), (column, _), _ = block_info[0]["array-location"] if block_info else ((0, 0), (0, 0), None)
    return dither_block(
        block, color_palette, method, strength=strength, metric=metric, light=light, origin=(row, column), threads=1
    )


def dither_dask(
    image: "da.Array | npt.NDArray[np.integer[Any]]",
    color_palette: npt.ArrayLike,
    method: Method = "none",
    *,
    strength: float = 1.0,
    metric: Metric = "rgb",
    light: Light = DEFAULT_LIGHT,
    client: "Client | None" = None,
) -> "da.Array":
    """A lazy Dask array (h, w) of palette rows, as palettra_tools.indices
    (method "none") or palettra_tools.dither with an ordered method gives for
    the whole image, block by block; the palette travels as in convert_dask.

    Error diffusion carries every pixel's error into the pixels after it
    across the whole image, so it cannot be split into blocks: dither such
    an image in one call instead.
    """
    if method != "none" and method not in ORDERED:
        raise ValueError(
            f"{method!r} cannot be computed block by block; use 'none' or an ordered method "
            f"({', '.join(ORDERED)}), or dither the whole image with palettra_tools.dither"
        )
    array = _colour_channels(image, metric)
    palette = np.asarray(color_palette, dtype=np.uint64)
    chosen: da.Array = array.map_blocks(
        _index_block,
        _shared(palette, client),
        method,
        strength,
        metric,
        light,
        dtype=index_dtype(len(palette)),
        drop_axis=2,
        chunks=(array.chunks[0], array.chunks[1]),
        meta=np.empty((0, 0), dtype=index_dtype(len(palette))),
    )
    return chosen
