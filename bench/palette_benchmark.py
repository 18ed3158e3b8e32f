"""Compares palettra_tools.make_palette with Pillow's median cut and
scikit-learn's KMeans (n_init=1, fixed seed) on the same photo-like images in
one run, and prints a Markdown table with the targets.

    python bench/palette_benchmark.py                    # 0.25, 1 and 4 megapixels: several minutes
    python bench/palette_benchmark.py --sizes 32 --colours 4 --repeat 1

Install the peers with `pip install -r requirements/bench.txt`; a peer that
is missing leaves its columns empty. Every palette is judged the same way:
the mean squared RGB distance per pixel from each pixel to its exactly
nearest palette colour (palettra.convert), lower being better; scikit-learn's
centres are rounded to integers first. Times are process CPU time, every
tool on one thread, the median of the runs (--repeat) after a warm-up;
scikit-learn runs once.
"""

from __future__ import annotations

import argparse
import os
import sys
import time

# One thread for scikit-learn too, set before it loads its thread pools.
os.environ.setdefault("OMP_NUM_THREADS", "1")
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchmark import machine, peak_of, photo_like, smooth_field  # noqa: E402
from dithering_benchmark import Image, timed  # noqa: E402

import palettra  # noqa: E402
from palettra_tools import make_palette  # noqa: E402

try:
    import sklearn
    from sklearn.cluster import KMeans
except ImportError:
    KMeans = None


def textured_like(rng, height, width):
    """Regions of different hue, each with its own fine texture and shading."""
    y = np.arange(height)[:, None]
    x = np.arange(width)[None, :]
    region = (smooth_field(rng, height, width, waves=4) * 5.999).astype(np.intp)
    hues = rng.uniform(0, 255, (6, 3))
    shade = smooth_field(rng, height, width)
    grain = np.sin(x * rng.uniform(0.2, 0.9) + np.sin(y * rng.uniform(0.05, 0.3)) * 3.0)
    channels = hues[region] * (0.35 + 0.65 * shade)[..., None] + (18.0 * grain)[..., None]
    channels += rng.normal(0, 4, channels.shape)
    return np.clip(channels, 0, 255).round().astype(np.uint8)


def images(rng, side):
    yield "photo", photo_like(rng, side)
    yield "textured", textured_like(rng, side, side)


def squared_error(image, palette):
    mapped = palettra.convert(image, np.asarray(palette, dtype=np.uint64))
    difference = mapped.astype(np.int64) - image.astype(np.int64)
    return float(np.einsum("ijc,ijc->", difference, difference)) / (image.shape[0] * image.shape[1])


def median_cut(image, colours):
    picture = Image.fromarray(image)
    quantized = picture.quantize(colors=colours, method=Image.Quantize.MEDIANCUT, dither=Image.Dither.NONE)
    used = len(quantized.getcolors(maxcolors=256))
    return np.array(quantized.getpalette()[: 3 * used], dtype=np.uint64).reshape(-1, 3)


def kmeans(image, colours):
    model = KMeans(n_clusters=colours, n_init=1, random_state=0).fit(image.reshape(-1, 3).astype(np.float64))
    return np.unique(np.clip(np.rint(model.cluster_centers_), 0, 255).astype(np.uint64), axis=0)


def peak_per_pixel(side, colours):
    setup = (
        "import numpy as np\n"
        "from benchmark import photo_like\n"
        "from palettra_tools import make_palette\n"
        f"image = photo_like(np.random.default_rng(7), {side})\n"
        f"make_palette(image[:16, :16], {colours})"
    )
    peak = peak_of(setup, f"make_palette(image, {colours})")
    return None if peak is None else max(peak, 0) / (side * side)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[512, 1024, 2048], help="image sides in pixels")
    parser.add_argument("--colours", type=int, nargs="+", default=[8, 16, 64])
    parser.add_argument("--repeat", type=int, default=3, help="runs of palettra and Pillow (median)")
    args = parser.parse_args(argv)

    print(f"Machine: {machine()}; {f'scikit-learn {sklearn.__version__}' if KMeans else 'no scikit-learn'}")
    print(f"Process CPU time, median of {args.repeat} runs after a warm-up (scikit-learn: one run)")
    print()
    print("| image | colours | palettra error | ms | median cut error | ms | KMeans error | ms "
          "| error ≤ KMeans | time ≤ median cut |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---|---|")
    rng = np.random.default_rng(2026)
    for side in args.sizes:
        for name, image in images(rng, side):
            for colours in args.colours:
                seconds, palette = timed(lambda: make_palette(image, colours), args.repeat, time.process_time)
                mine = squared_error(image, palette)
                row = [f"{name} {side}×{side}", str(colours), f"{mine:.2f}", f"{1000 * seconds:.0f}"]
                cut_seconds = known = None
                if Image is not None:
                    cut_seconds, cut = timed(lambda: median_cut(image, colours), args.repeat, time.process_time)
                    row += [f"{squared_error(image, cut):.2f}", f"{1000 * cut_seconds:.0f}"]
                else:
                    row += ["–", "–"]
                if KMeans is not None:
                    start = time.process_time()
                    centres = kmeans(image, colours)
                    known = squared_error(image, centres)
                    row += [f"{known:.2f}", f"{1000 * (time.process_time() - start):.0f}"]
                else:
                    row += ["–", "–"]
                lower = "–" if known is None else "yes" if mine <= known else f"no (+{100 * (mine / known - 1):.2f}%)"
                ratio = None if cut_seconds is None else seconds / cut_seconds
                faster = "–" if ratio is None else "yes" if ratio <= 1 else f"no ({ratio:.2f}×)"
                row += [lower, faster]
                print("| " + " | ".join(row) + " |", flush=True)
    print()
    for side in args.sizes:
        per_pixel = peak_per_pixel(side, 16)
        text = "not measured" if per_pixel is None else f"{per_pixel:.2f} bytes per pixel"
        print(f"Peak memory of make_palette beyond the image, {side}×{side}, 16 colours: {text}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
