"""Bands of rows: how images are walked so that no temporary is image-sized."""

from collections.abc import Iterator

# Pixels per band when the caller does not choose: small enough for a
# progress bar to move often and for temporaries to stay small, large
# enough that the per-band cost is lost.
BAND_PIXELS = 1 << 16


def row_bands(height: int, width: int, band_rows: int | None = None) -> Iterator[slice]:
    rows = band_rows if band_rows is not None else max(1, BAND_PIXELS // max(width, 1))
    if rows < 1:
        raise ValueError(f"band_rows must be at least 1, got {rows}")
    for start in range(0, height, rows):
        yield slice(start, min(start + rows, height))
