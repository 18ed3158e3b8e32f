"""Writes the blue-noise threshold mask of palettra_tools (method "blue-noise").

The mask is made by void and cluster on a 64×64 torus, with integers only
once the filter's weights are rounded, and every tie going to the lowest
position in row-major order, so the rule gives one mask:

- The filter: weight w(dy, dx) = round(65536 · exp(−(dy² + dx²) / (2 · 1.5²))),
  dy and dx the shortest distances around the torus.
- The energy of a position is the sum of the weights from every set point
  (itself included, if set).
- Start: the 410 positions p (p = 64·row + column) with the smallest
  splitmix64(p) are set.
- Phase 1: repeat: take the set point of highest energy off; set the unset
  position of lowest energy; stop when that is the point just taken off
  (it is put back).
- Phase 2: from that pattern, take off the set point of highest energy, one
  at a time; the k-th taken off (k = 1 ... 410) gets rank 410 − k.
- Phase 3: from that pattern again, set the unset position of lowest energy,
  one at a time; the k-th set (k = 0 ...) gets rank 410 + k.

Ranks run from 0 to 4095, each once. Run it from the repository's root:

    python scripts/make_blue_noise.py        # writes the mask
    python scripts/make_blue_noise.py --check  # exits 1 if the file differs
"""

import math
import sys
from pathlib import Path

import numpy as np

SIZE = 64
SIGMA = 1.5
START = 410
MASK_FILE = Path(__file__).resolve().parent.parent / "python" / "palettra_tools" / "blue_noise_64.txt"
MASK64 = (1 << 64) - 1


def splitmix64(value: int) -> int:
    z = (value + 0x9E3779B97F4A7C15) & MASK64
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK64
    return z ^ (z >> 31)


def weights(size: int) -> np.ndarray:
    distance = np.minimum(np.arange(size), size - np.arange(size))
    squares = (distance[:, None] ** 2 + distance[None, :] ** 2).tolist()
    return np.array([[round(65536 * math.exp(-d / (2 * SIGMA**2))) for d in row] for row in squares], np.int64)


class Pattern:
    def __init__(self, points: np.ndarray, kernel: np.ndarray):
        self.points = points.copy()
        self.kernel = kernel
        size = len(kernel)
        self.energy = np.zeros((size, size), np.int64)
        for p in np.flatnonzero(points):
            self._add(int(p), 1)

    def _add(self, position: int, sign: int) -> None:
        row, column = divmod(position, len(self.kernel))
        self.energy += sign * np.roll(self.kernel, (row, column), axis=(0, 1))

    def set(self, position: int) -> None:
        self.points.flat[position] = True
        self._add(position, 1)

    def unset(self, position: int) -> None:
        self.points.flat[position] = False
        self._add(position, -1)

    def tightest_cluster(self) -> int:
        # argmax and argmin give the first position of the extreme value.
        return int(np.argmax(np.where(self.points, self.energy, np.iinfo(np.int64).min)))

    def largest_void(self) -> int:
        return int(np.argmin(np.where(self.points, np.iinfo(np.int64).max, self.energy)))


def blue_noise_mask(size: int = SIZE) -> np.ndarray:
    kernel = weights(size)
    area = size * size
    order = sorted(range(area), key=splitmix64)
    start = np.zeros((size, size), bool)
    start.flat[order[:START]] = True
    pattern = Pattern(start, kernel)
    while True:
        cluster = pattern.tightest_cluster()
        pattern.unset(cluster)
        void = pattern.largest_void()
        pattern.set(void)
        if void == cluster:
            break
    ranks = np.zeros(area, np.int64)
    settled = pattern.points.copy()
    removing = Pattern(settled, kernel)
    for rank in range(START - 1, -1, -1):
        cluster = removing.tightest_cluster()
        removing.unset(cluster)
        ranks[cluster] = rank
    filling = Pattern(settled, kernel)
    for rank in range(START, area):
        void = filling.largest_void()
        filling.set(void)
        ranks[void] = rank
    return ranks.reshape(size, size)


def mask_text(mask: np.ndarray) -> str:
    return "".join(" ".join(str(v) for v in row) + "\n" for row in mask.tolist())


def main() -> int:
    text = mask_text(blue_noise_mask())
    if "--check" in sys.argv[1:]:
        return 0 if MASK_FILE.read_text() == text else 1
    MASK_FILE.write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
