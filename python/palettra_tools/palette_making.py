"""Palettes made from images: k-means on a colour histogram, refined on the pixels.

`make_palette` follows the rule written down in docs/palettes-from-images.md
step by step: a histogram of the counted pixels, seeds from splitting boxes
of it where the squared error falls most, Lloyd iterations on the histogram,
then Lloyd passes over the pixels themselves. Every assignment is the exact
nearest palette row (`indices`), centres are integer means rounded half up,
and everything that is not an integer is a stated double-precision
expression, so the same images give the same palette on every run.
"""

import math
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt
from PIL.Image import Image as PillowImage

from . import lab
from .dithering import nearest_rows
from .images import Picture
from .inputs import ImageInput, image_channels
from .metrics import METRICS, Metric

# Histogram bins keep this many high bits of each channel.
HISTOGRAM_BITS = 5
# Lloyd iterations on the histogram, then passes over the pixels, at most.
HISTOGRAM_ITERATIONS = 12
PIXEL_PASSES = 4
# Centre moves tried, and how many failures in a row end the trying.
SWAP_ATTEMPTS = 8
SWAP_FAILURES = 2
# Pixels handled at once, which bounds the memory beyond the images.
BAND_PIXELS = 1 << 18

@dataclass(frozen=True)
class _Layer:
    """One image's colours and, where some pixels do not count, which do."""

    rgb: npt.NDArray[np.integer[Any]]
    opaque: npt.NDArray[np.bool_] | None


@dataclass
class _Histogram:
    """Entries: a colour for each, how many pixels it stands for, and their sums."""

    colours: npt.NDArray[np.int64]
    counts: npt.NDArray[np.int64]
    sums: npt.NDArray[np.int64]
    # The colours' coordinates once the metric is known, and the same as an
    # (m, 1, 3) image for the index maps.
    points: npt.NDArray[np.int64] = field(default_factory=lambda: np.zeros((0, 3), dtype=np.int64))
    image: npt.NDArray[np.uint32] = field(default_factory=lambda: np.zeros((0, 1, 3), dtype=np.uint32))

    def measure(self, space: "_Space") -> None:
        self.points = space.points(self.colours)
        self.image = self.points.astype(np.uint32)[:, None, :]


def _layer(image: ImageInput) -> _Layer:
    rgb, alpha = image_channels(image, "an image")
    if rgb.dtype not in (np.uint8, np.uint16):
        raise TypeError(f"an image must hold uint8 or uint16 values, not {rgb.dtype}")
    opaque = None if alpha is None else alpha != 0
    return _Layer(rgb, opaque)


def _bands(layer: _Layer) -> Any:
    """(colours (k, 3), kept or None) for bands of the layer's rows."""
    height, width = layer.rgb.shape[:2]
    rows = max(1, BAND_PIXELS // max(width, 1))
    for start in range(0, height, rows):
        colours = layer.rgb[start : start + rows].reshape(-1, 3)
        kept = None if layer.opaque is None else layer.opaque[start : start + rows].ravel()
        yield colours, kept


def _sums_by(labels: npt.NDArray[Any], colours: npt.NDArray[Any], size: int) -> tuple[Any, Any]:
    """Per label, the count and the channel sums, as int64 (exact: each
    float64 partial sum stays far below 2**53)."""
    counts = np.bincount(labels, minlength=size).astype(np.int64)
    sums = np.empty((size, 3), dtype=np.int64)
    for c in range(3):
        sums[:, c] = np.bincount(labels, weights=colours[:, c], minlength=size)
    return counts, sums


def _rounded_means(sums: npt.NDArray[np.int64], counts: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
    """sum / count rounded half up; rows of count 0 give 0."""
    safe = np.maximum(counts, 1)[:, None]
    means: npt.NDArray[np.int64] = (2 * sums + safe) // (2 * safe)
    return means


def _binned_histogram(layers: list[_Layer], bits: int) -> _Histogram:
    shift = bits - HISTOGRAM_BITS
    size = 1 << (3 * HISTOGRAM_BITS)
    counts = np.zeros(size, dtype=np.int64)
    sums = np.zeros((size, 3), dtype=np.int64)
    for layer in layers:
        for colours, kept in _bands(layer):
            if kept is not None:
                colours = colours[kept]
            # Built in place: one array of the band's length, no more.
            keys = (colours[:, 0] >> shift).astype(np.intp)
            for channel in (1, 2):
                keys <<= HISTOGRAM_BITS
                keys |= colours[:, channel] >> shift
            band_counts, band_sums = _sums_by(keys, colours, size)
            counts += band_counts
            sums += band_sums
    used = np.flatnonzero(counts)
    return _Histogram(_rounded_means(sums[used], counts[used]), counts[used], sums[used])


def _exact_histogram(layers: list[_Layer], bits: int) -> _Histogram:
    """Every distinct colour, in increasing order of (R, G, B)."""
    keys = []
    for layer in layers:
        for colours, kept in _bands(layer):
            if kept is not None:
                colours = colours[kept]
            wide = colours.astype(np.uint64)
            keys.append((wide[:, 0] << np.uint64(2 * bits)) | (wide[:, 1] << np.uint64(bits)) | wide[:, 2])
    distinct, counts = np.unique(np.concatenate(keys), return_counts=True)
    mask = np.uint64((1 << bits) - 1)
    colours = np.stack(
        [distinct >> np.uint64(2 * bits), (distinct >> np.uint64(bits)) & mask, distinct & mask], axis=1
    ).astype(np.int64)
    counts = counts.astype(np.int64)
    return _Histogram(colours, counts, colours * counts[:, None])


def _energy(counts: Any, sums: Any) -> Any:
    """(S0·S0 + S1·S1 + S2·S2) / N in double precision, left to right."""
    s = np.asarray(sums, dtype=np.float64)
    squares = s[..., 0] * s[..., 0] + s[..., 1] * s[..., 1] + s[..., 2] * s[..., 2]
    return squares / np.asarray(counts, dtype=np.float64)


def _best_cut(histogram: _Histogram, members: npt.NDArray[np.intp]) -> tuple[float, int, int]:
    """(gain, channel, threshold) of the box's best cut; gain -inf when it has one colour."""
    counts, sums = histogram.counts[members], histogram.sums[members]
    total_count, total_sums = counts.sum(), sums.sum(axis=0)
    whole = _energy(total_count, total_sums)
    best = (-np.inf, 0, 0)
    for channel in range(3):
        values = histogram.colours[members, channel]
        low = int(values.min())
        levels = values - low
        # Per value, then cumulated: exact, as every total stays below 2**53.
        low_counts = np.cumsum(np.bincount(levels, weights=counts))
        low_sums = np.stack([np.cumsum(np.bincount(levels, weights=sums[:, c])) for c in range(3)], axis=1)
        cuts = np.flatnonzero(np.bincount(levels)[:-1])
        if len(cuts) == 0:
            continue
        low_counts, low_sums = low_counts[cuts], low_sums[cuts]
        gains = _energy(low_counts, low_sums) + _energy(total_count - low_counts, total_sums - low_sums) - whole
        at = int(np.argmax(gains))
        if gains[at] > best[0]:
            best = (float(gains[at]), channel, low + int(cuts[at]))
    return best


def _seeds(histogram: _Histogram, n: int) -> npt.NDArray[np.int64]:
    """Split boxes of entries, each time the one whose best cut gains most."""
    boxes = [np.arange(len(histogram.counts))]
    cuts = [_best_cut(histogram, boxes[0])]
    while len(boxes) < n:
        chosen = max(range(len(boxes)), key=lambda i: (cuts[i][0], -i))
        _, channel, threshold = cuts[chosen]
        members = boxes[chosen]
        low = histogram.colours[members, channel] <= threshold
        boxes[chosen], upper = members[low], members[~low]
        boxes.append(upper)
        cuts[chosen] = _best_cut(histogram, boxes[chosen])
        cuts.append(_best_cut(histogram, upper))
    counts = np.array([histogram.counts[box].sum() for box in boxes])
    sums = np.array([histogram.sums[box].sum(axis=0) for box in boxes])
    return _rounded_means(sums, counts)


@dataclass(frozen=True)
class _Space:
    """Where distances are measured: the images' depth and the metric."""

    bits: int
    metric: Metric

    def points(self, colours: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
        """The coordinates of colours: themselves, or their integer Lab triples."""
        if self.metric == "lab":
            return lab.lab_coordinates(colours, self.bits).astype(np.int64)
        return colours


def _nearest(histogram: _Histogram, centre_points: npt.NDArray[np.int64]) -> npt.NDArray[np.intp]:
    """The first nearest centre of every entry, by the exact index maps."""
    return nearest_rows(histogram.image, centre_points.astype(np.uint64)).ravel().astype(np.intp)


def _weighted_distances(histogram: _Histogram, points: npt.NDArray[np.int64]) -> npt.NDArray[np.float64]:
    """float(count × squared distance) from every entry to the given points, one each."""
    offsets = histogram.points - points
    distances = np.einsum("ij,ij->i", offsets, offsets).astype(np.float64)
    weighted: npt.NDArray[np.float64] = histogram.counts.astype(np.float64) * distances
    return weighted


def _repaired(
    centres: npt.NDArray[np.int64], counts: npt.NDArray[np.int64], histogram: _Histogram, space: _Space
) -> npt.NDArray[np.int64]:
    """Centres without members, or equal to an earlier centre, move in
    order to the entry farthest (by count × squared distance) from the rest."""
    keys = (centres[:, 0] << 32) | (centres[:, 1] << 16) | centres[:, 2]
    first = np.zeros(len(centres), dtype=bool)
    first[np.unique(keys, return_index=True)[1]] = True
    repair = np.flatnonzero((counts == 0) | ~first).tolist()
    if not repair:
        return centres
    centres = centres.copy()
    for k in repair:
        kept = space.points(centres[[j for j in range(len(centres)) if j not in repair or j < k]])
        far = _weighted_distances(histogram, kept[_nearest(histogram, kept)])
        centres[k] = histogram.colours[int(np.argmax(far))]
    return centres


@dataclass(frozen=True)
class _Clustering:
    """Centres, the entries' nearest centre, and the error that assignment makes."""

    centres: npt.NDArray[np.int64]
    labels: npt.NDArray[np.intp]
    terms: npt.NDArray[np.float64]
    error: float


def _assign(histogram: _Histogram, centres: npt.NDArray[np.int64], space: _Space) -> _Clustering:
    centre_points = space.points(centres)
    labels = _nearest(histogram, centre_points)
    terms = _weighted_distances(histogram, centre_points[labels])
    return _Clustering(centres, labels, terms, math.fsum(terms.tolist()))


def _histogram_lloyd(histogram: _Histogram, centres: npt.NDArray[np.int64], space: _Space) -> _Clustering:
    clustering = _assign(histogram, centres, space)
    for _ in range(HISTOGRAM_ITERATIONS - 1):
        size = len(centres)
        counts = np.bincount(clustering.labels, weights=histogram.counts, minlength=size).astype(np.int64)
        sums = np.stack(
            [np.bincount(clustering.labels, weights=histogram.sums[:, c], minlength=size) for c in range(3)], axis=1
        ).astype(np.int64)
        updated = _repaired(_rounded_means(sums, counts), counts, histogram, space)
        if np.array_equal(updated, clustering.centres):
            break
        clustering = _assign(histogram, updated, space)
    return clustering


def _removal_costs(clustering: _Clustering, histogram: _Histogram, space: _Space) -> Any:
    """Per centre, its pixels times the squared distance to the nearest other centre."""
    points = space.points(clustering.centres)
    offsets = points[:, None, :] - points[None, :, :]
    distances = (offsets * offsets).sum(axis=2).astype(np.float64)
    np.fill_diagonal(distances, np.inf)
    weights = np.bincount(clustering.labels, weights=histogram.counts, minlength=len(points))
    return weights * distances.min(axis=1)


def _swapped(histogram: _Histogram, clustering: _Clustering, space: _Space) -> _Clustering:
    """Moves the centre that costs least to lose to the entry that is worst
    served, and keeps the move when Lloyd iterations from there lower the error."""
    failures = 0
    for _ in range(SWAP_ATTEMPTS):
        if len(clustering.centres) < 2:
            break
        order = np.argsort(_removal_costs(clustering, histogram, space), kind="stable")
        moved = clustering.centres.copy()
        moved[order[failures]] = histogram.colours[int(np.argmax(clustering.terms))]
        trial = _histogram_lloyd(histogram, moved, space)
        if trial.error < clustering.error:
            clustering, failures = trial, 0
        else:
            failures += 1
            if failures == SWAP_FAILURES:
                break
    return clustering


def _pixel_lloyd(
    layers: list[_Layer], histogram: _Histogram, centres: npt.NDArray[np.int64], space: _Space
) -> npt.NDArray[np.int64]:
    palette = centres.astype(np.uint64)
    for _ in range(PIXEL_PASSES):
        counts = np.zeros(len(centres), dtype=np.int64)
        sums = np.zeros((len(centres), 3), dtype=np.int64)
        for layer in layers:
            for colours, kept in _bands(layer):
                labels = nearest_rows(colours[:, None, :], palette, metric=space.metric)[:, 0]
                if kept is not None:
                    colours, labels = colours[kept], labels[kept]
                band_counts, band_sums = _sums_by(labels, colours, len(centres))
                counts += band_counts
                sums += band_sums
        updated = _repaired(_rounded_means(sums, counts), counts, histogram, space)
        if np.array_equal(updated, centres):
            break
        centres, palette = updated, updated.astype(np.uint64)
    return centres


def make_palette(images: ImageInput | Sequence[ImageInput], n: int, *, metric: Metric = "rgb") -> npt.NDArray[np.uint64]:
    """An (n, 3) uint64 palette in the images' scale (8 or 16 bits) whose
    colours are near the pixels of `images`, by squared RGB distance or, with
    metric "lab", by ΔE in integer CIELAB.

    `images` is one image or a list of them, all of one depth, sharing the
    palette: Pictures, uint8 or uint16 (h, w, 3) or (h, w, 4) arrays, channel
    3 being alpha, or Pillow images. Fully transparent pixels (alpha 0) do
    not count.
    When the counted pixels have at most n distinct colours the palette is
    exactly those, most frequent first. docs/palettes-from-images.md gives
    the rule; the same images always give the same palette.
    """
    if metric not in METRICS:
        raise ValueError(f"unknown metric {metric!r}: use one of {', '.join(METRICS)}")
    if isinstance(n, bool) or not isinstance(n, (int, np.integer)) or n < 1:
        raise ValueError(f"the number of colours must be a positive integer, got {n!r}")
    if isinstance(images, (Picture, np.ndarray, PillowImage)):
        layers = [_layer(images)]
    elif isinstance(images, Sequence):
        layers = [_layer(image) for image in images]
    else:
        raise TypeError(f"make_palette takes an image or a list of images, not {type(images).__name__}")
    if not layers:
        raise ValueError("make_palette needs at least one image")
    dtypes = {layer.rgb.dtype for layer in layers}
    if len(dtypes) > 1:
        raise ValueError("the images must all be 8-bit or all 16-bit")
    space = _Space(8 * dtypes.pop().itemsize, metric)
    histogram = _binned_histogram(layers, space.bits)
    if len(histogram.counts) <= n:
        histogram = _exact_histogram(layers, space.bits) if len(histogram.counts) else histogram
        if len(histogram.counts) <= n:
            order = np.argsort(-histogram.counts, kind="stable")
            return histogram.colours[order].astype(np.uint64)
    histogram.measure(space)
    clustering = _swapped(histogram, _histogram_lloyd(histogram, _seeds(histogram, int(n)), space), space)
    return _pixel_lloyd(layers, histogram, clustering.centres, space).astype(np.uint64)


def eight_bit_palette(made: npt.NDArray[np.uint64], bits: int) -> npt.NDArray[np.uint64]:
    """A palette made from `bits`-bit images in 8-bit values, as palettes
    are. Rounding may make two colours one; the first is kept."""
    if bits == 8:
        return made
    rounded = (2 * made + 257) // 514
    _, first = np.unique(rounded, axis=0, return_index=True)
    return np.asarray(rounded[np.sort(first)], dtype=np.uint64)
