"""Thread counts, and work spread over them a band of rows at a time.

The engine lets go of the interpreter lock while it maps a band, so bands
on a pool of threads run on as many cores. Every pixel's answer depends on
that pixel alone, so the result is the same whatever the thread count.
"""

import os
from collections.abc import Callable, Sequence
from concurrent.futures import ThreadPoolExecutor


def thread_count(threads: int | None) -> int:
    """None: every processor this process may run on; otherwise `threads`, at least 1."""
    if threads is None:
        affinity = getattr(os, "sched_getaffinity", None)
        return len(affinity(0)) if affinity is not None else os.cpu_count() or 1
    if isinstance(threads, bool) or not isinstance(threads, int):
        raise TypeError(f"threads must be an int or None, not {type(threads).__name__}")
    if threads < 1:
        raise ValueError(f"threads must be at least 1, got {threads}")
    return threads


# Pixels a band should have at least: a smaller one costs about as much to
# hand to a thread, and to build its search for, as to map.
LEAST_BAND_PIXELS = 1 << 13


def split_rows(height: int, width: int, parts: int) -> list[slice]:
    """`parts` bands of rows, as even as can be; fewer for small images."""
    parts = max(1, min(parts, height, height * width // LEAST_BAND_PIXELS))
    bounds = [height * k // parts for k in range(parts + 1)]
    return [slice(low, high) for low, high in zip(bounds, bounds[1:])]


def run_bands(bands: Sequence[slice], threads: int, work: Callable[[slice], object]) -> None:
    """work(band) for every band, on up to `threads` threads; the first failure is raised."""
    if threads == 1 or len(bands) < 2:
        for band in bands:
            work(band)
        return
    with ThreadPoolExecutor(max_workers=min(threads, len(bands))) as pool:
        for done in [pool.submit(work, band) for band in bands]:
            done.result()
