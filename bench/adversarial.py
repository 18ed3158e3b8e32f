"""Inputs built to make a search structure lose: crowded and duplicated
palettes, palettes at the sizes where the search changes its layout, images
whose pixels meet every cell once, and an image of one colour. Each is timed
next to the forced plain scan, which compares every pixel with every row;
palettra must never be much slower than that."""

from __future__ import annotations

import numpy as np

import palettra

try:
    import _palettra_testing
except ImportError:  # only the test environments build the plain scan
    _palettra_testing = None


def cases(rng, side):
    random = rng.integers(0, 256, (side, side, 3)).astype(np.uint8)
    flat = np.full((side, side, 3), 77, np.uint8)

    def rows(count, top):
        return rng.integers(0, top, (count, 3)).astype(np.uint64)

    return [
        ("clustered in 0..15", random, rows(5000, 16)),
        ("clustered in 0..63", random, rows(20000, 64)),
        ("clustered in 0..63", random, rows(50000, 64)),
        ("16 colours, each 625 times", random, np.repeat(rows(16, 256), 625, axis=0)),
        ("uniform", random, rows(2**15 - 1, 256)),
        ("uniform", random, rows(2**15, 256)),
        ("uniform", random, rows(2**15 + 1, 256)),
        ("uniform", random, rows(70000, 256)),
        ("image of one colour", flat, rows(50000, 64)),
    ]


def plain_scan(image, palette):
    pixels = np.ascontiguousarray(image[..., :3].astype(np.uint64))
    out = np.empty_like(pixels)
    _palettra_testing.plain_scan_convert(pixels, palette, out)
    return out


def report(side, timed, peak_of, seed=2024):
    """Prints the section; gives how many cases palettra got wrong.
    `peak_of(setup, call)` measures a call's memory above its result."""
    print(f"### adversarial inputs, {side}×{side} images, against the plain scan")
    print()
    if _palettra_testing is None:
        print("(the plain scan comes with the test-only module, which is not installed)")
        print()
        return 0
    print("| case | rows | palettra ms | plain scan ms | × plain scan | MiB above result |")
    print("|---|---:|---:|---:|---:|---:|")
    wrong = 0
    for index, (name, image, palette) in enumerate(cases(np.random.default_rng(seed), side)):
        seconds, mine = timed(lambda: palettra.convert(image, palette))
        plain_seconds, exact = timed(lambda: plain_scan(image, palette))
        wrong += not np.array_equal(mine, exact)
        del mine, exact
        setup = (
            "import numpy as np, palettra, adversarial\n"
            f"_, image, palette = adversarial.cases(np.random.default_rng({seed}), {side})[{index}]\n"
            "palettra.convert(image[:1, :1], palette[:1])"
        )
        peak = peak_of(setup, "palettra.convert(image, palette)")
        peak_text = "–" if peak is None else f"{max(peak, 0) / 2**20:.1f}"
        print(
            f"| {name} | {len(palette)} | {1000 * seconds:.1f} | {1000 * plain_seconds:.1f} "
            f"| {seconds / plain_seconds:.2f} | {peak_text} |"
        )
    print()
    return wrong
