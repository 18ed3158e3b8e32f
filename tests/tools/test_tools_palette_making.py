"""make_palette against a plain reference written from docs/palettes-from-images.md, and its properties."""

import math

import numpy as np
import pytest

from palettra_tools import Picture, lab_coordinates, make_palette

RNG = np.random.default_rng(16)

# ------------------------------------------------------------ the reference


def reference(pixels, n, bits, metric):
    """Counted pixels as (r, g, b) tuples in, the palette as a list of tuples out."""
    cache = {}

    def coordinates(colour):
        if metric == "rgb":
            return colour
        if colour not in cache:
            cache[colour] = tuple(int(v) for v in lab_coordinates(np.array([colour]), bits)[0])
        return cache[colour]

    def d2(x, y):
        return sum((a - b) ** 2 for a, b in zip(coordinates(x), coordinates(y)))

    def nearest(colour, centres):
        distances = [d2(colour, centre) for centre in centres]
        return distances.index(min(distances))

    def mean(total, count):
        return tuple((2 * s + count) // (2 * count) for s in total)

    def totals(groups):
        return {key: (sum(n for n, _ in g), [sum(s[c] for _, s in g) for c in range(3)]) for key, g in groups.items()}

    shift = bits - 5
    bins = {}
    for p in pixels:
        bins.setdefault(((p[0] >> shift) << 10) | ((p[1] >> shift) << 5) | (p[2] >> shift), []).append((1, p))
    entries = [(count, total, mean(total, count)) for _, (count, total) in sorted(totals(bins).items())]
    if len(entries) <= n:
        distinct = {}
        for p in pixels:
            distinct[p] = distinct.get(p, 0) + 1
        entries = [(count, [v * count for v in colour], colour) for colour, count in sorted(distinct.items())]
        if len(entries) <= n:
            return [colour for count, _, colour in sorted(entries, key=lambda e: -e[0])]

    def energy(count, total):
        s0, s1, s2 = (float(v) for v in total)
        return (s0 * s0 + s1 * s1 + s2 * s2) / float(count)

    def box_totals(box):
        return sum(entries[i][0] for i in box), [sum(entries[i][1][c] for i in box) for c in range(3)]

    def best_cut(box):
        count, total = box_totals(box)
        best = (-math.inf, 0, 0)
        for c in range(3):
            values = sorted({entries[i][2][c] for i in box})
            for t in values[:-1]:
                low_count, low_total = box_totals([i for i in box if entries[i][2][c] <= t])
                up_total = [total[k] - low_total[k] for k in range(3)]
                gain = energy(low_count, low_total) + energy(count - low_count, up_total) - energy(count, total)
                if gain > best[0]:
                    best = (gain, c, t)
        return best

    boxes = [list(range(len(entries)))]
    while len(boxes) < n:
        cuts = [best_cut(box) for box in boxes]
        chosen = max(range(len(boxes)), key=lambda i: (cuts[i][0], -i))
        _, c, t = cuts[chosen]
        box = boxes[chosen]
        boxes[chosen] = [i for i in box if entries[i][2][c] <= t]
        boxes.append([i for i in box if entries[i][2][c] > t])
    seeds = [mean(box_totals(box)[1], box_totals(box)[0]) for box in boxes]

    def repaired(centres, counts):
        centres = list(centres)
        repair = [k for k in range(len(centres)) if counts[k] == 0 or centres[k] in centres[:k]]
        for k in repair:
            kept = [centres[j] for j in range(len(centres)) if j not in repair or j < k]
            far = [float(count) * float(min(d2(colour, centre) for centre in kept)) for count, _, colour in entries]
            centres[k] = entries[far.index(max(far))][2]
        return centres

    def update(centres, members):
        """members: (count, total, label) triples."""
        counts = [0] * len(centres)
        sums = [[0, 0, 0] for _ in centres]
        for count, total, label in members:
            counts[label] += count
            for c in range(3):
                sums[label][c] += total[c]
        means = [mean(sums[k], counts[k]) if counts[k] else (0, 0, 0) for k in range(len(centres))]
        return repaired(means, counts)

    def assign(centres):
        labels = [nearest(colour, centres) for _, _, colour in entries]
        terms = [float(count) * float(d2(colour, centres[label])) for (count, _, colour), label in zip(entries, labels)]
        return centres, labels, terms, math.fsum(terms)

    def run(centres):
        clustering = assign(centres)
        for _ in range(11):
            members = [(count, total, label) for (count, total, _), label in zip(entries, clustering[1])]
            updated = update(centres, members)
            if updated == clustering[0]:
                break
            centres = updated
            clustering = assign(centres)
        return clustering

    clustering, failures = run(seeds), 0
    for _ in range(8):
        centres, labels, terms, error = clustering
        if len(centres) < 2:
            break
        weights = [sum(entries[i][0] for i in range(len(entries)) if labels[i] == k) for k in range(len(centres))]
        costs = [
            float(weights[k]) * float(min(d2(centres[k], centres[j]) for j in range(len(centres)) if j != k))
            for k in range(len(centres))
        ]
        order = sorted(range(len(centres)), key=lambda k: (costs[k], k))
        moved = list(centres)
        moved[order[failures]] = entries[terms.index(max(terms))][2]
        trial = run(moved)
        if trial[3] < error:
            clustering, failures = trial, 0
        else:
            failures += 1
            if failures == 2:
                break

    centres = clustering[0]
    for _ in range(4):
        updated = update(centres, [(1, p, nearest(p, centres)) for p in pixels])
        if updated == centres:
            break
        centres = updated
    return centres


# ------------------------------------------------------------ the cases


def clustered_image(bits, height=9, width=11, spread=None):
    """A few colour clusters with noise: several bins and distinct colours."""
    top = (1 << bits) - 1
    spread = top // 10 if spread is None else spread
    centres = RNG.integers(0, top + 1, (5, 3))
    picks = centres[RNG.integers(0, 5, height * width)] + RNG.integers(-spread, spread + 1, (height * width, 3))
    dtype = np.uint8 if bits == 8 else np.uint16
    return np.clip(picks, 0, top).astype(dtype).reshape(height, width, 3)


def as_pixels(image, alpha=None):
    rows = image.reshape(-1, 3).tolist()
    keep = [True] * len(rows) if alpha is None else (alpha.ravel() != 0).tolist()
    return [tuple(p) for p, k in zip(rows, keep) if k]


@pytest.mark.parametrize("metric", ["rgb", "lab"])
@pytest.mark.parametrize("bits", [8, 16])
@pytest.mark.parametrize("n", [1, 3, 6])
def test_matches_the_written_rule(metric, bits, n):
    image = clustered_image(bits)
    expected = reference(as_pixels(image), n, bits, metric)
    assert make_palette(image, n, metric=metric).tolist() == [list(c) for c in expected]


@pytest.mark.parametrize("seed", [116, 378])
def test_matches_the_written_rule_where_a_centre_loses_its_members(seed):
    # Images found by search where a centre ends up with no members and is repaired.
    rng = np.random.default_rng(seed)
    picks = rng.integers(0, 256, (5, 3))[rng.integers(0, 5, 60)] + rng.integers(-40, 41, (60, 3))
    image = np.clip(picks, 0, 255).astype(np.uint8).reshape(6, 10, 3)
    expected = reference(as_pixels(image), 10, 8, "lab")
    assert make_palette(image, 10, metric="lab").tolist() == [list(c) for c in expected]


@pytest.mark.parametrize("metric", ["rgb", "lab"])
def test_exact_histogram_when_the_bins_are_few(metric):
    # Every value below 16 falls into one of 8 bins, with many distinct colours.
    image = RNG.integers(0, 16, (9, 11, 3)).astype(np.uint8)
    palette = make_palette(image, 8, metric=metric)
    assert len(np.unique(image.reshape(-1, 3), axis=0)) > 8
    assert palette.tolist() == [list(c) for c in reference(as_pixels(image), 8, 8, metric)]


def test_transparent_pixels_do_not_count_and_lists_share_one_palette():
    image = clustered_image(8, 12, 10)
    alpha = (RNG.random((12, 10)) < 0.7).astype(np.uint8) * RNG.integers(1, 256, (12, 10)).astype(np.uint8)
    rgba = np.concatenate([image, alpha[..., None]], axis=2)
    opaque = np.array(as_pixels(image, alpha), dtype=np.uint8)[:, None, :]
    expected = reference(as_pixels(image, alpha), 5, 8, "rgb")
    for given in (rgba, Picture(image, alpha, 8), [rgba[:5], rgba[5:]], [Picture(image[:7], alpha[:7], 8), rgba[7:]]):
        assert make_palette(given, 5).tolist() == [list(c) for c in expected]
    assert make_palette(opaque, 5).tolist() == [list(c) for c in expected]


@pytest.mark.parametrize("bits", [8, 16])
@pytest.mark.parametrize("n", [1, 7, 40])
def test_an_image_of_n_colours_gives_exactly_those(bits, n):
    dtype = np.uint8 if bits == 8 else np.uint16
    colours = np.unique(RNG.integers(0, 1 << bits, (n, 3)), axis=0)
    counts = np.arange(len(colours), 0, -1) * 3
    image = np.repeat(colours, counts, axis=0).astype(dtype)
    image = image[RNG.permutation(len(image))][:, None, :]
    for asked in (len(colours), len(colours) + 5):
        palette = make_palette(image, asked)
        assert palette.dtype == np.uint64
        # Most counted first.
        assert palette.tolist() == colours.tolist()


@pytest.mark.parametrize("metric", ["rgb", "lab"])
@pytest.mark.parametrize("n", [2, 16, 64])
def test_larger_images_give_distinct_colours_the_same_way_every_time(metric, n):
    image = clustered_image(8, 120, 90, spread=40)
    palette = make_palette(image, n, metric=metric)
    assert palette.shape == (n, 3)
    assert len(np.unique(palette, axis=0)) == n
    assert np.array_equal(make_palette(image.copy(), n, metric=metric), palette)


def test_nothing_counted_gives_an_empty_palette():
    image = np.zeros((4, 4, 4), dtype=np.uint8)
    assert make_palette(image, 8).shape == (0, 3)


@pytest.mark.parametrize(
    ("images", "n", "error"),
    [
        (np.zeros((2, 2, 3), dtype=np.float32), 4, TypeError),
        (np.zeros((2, 2), dtype=np.uint8), 4, ValueError),
        (np.zeros((2, 2, 3), dtype=np.uint8), 0, ValueError),
        ([], 4, ValueError),
        ([np.zeros((2, 2, 3), dtype=np.uint8), np.zeros((2, 2, 3), dtype=np.uint16)], 4, ValueError),
    ],
)
def test_rejects_what_it_cannot_use(images, n, error):
    with pytest.raises(error):
        make_palette(images, n)
