"""How dithered pictures look from a distance: palettra's methods in sRGB and
linear light against Pillow, the `dithering` package and, when installed,
ImageMagick and pngquant, on the same pictures in one run.

The seen error is S-CIELAB-like: the original and the result are taken to
linear light, each channel is blurred by a Gaussian of sigma 1 and 2 pixels
(what a viewer at a distance sees), both are converted to CIELAB and the
mean CIEDE2000 difference is taken; lower is better. Prints Markdown tables
of the mean over the pictures, the worst ratio on one picture, the targets,
and the time of each tool.

    python bench/look_benchmark.py              # 6 pictures of 384×384, a few minutes
    python bench/look_benchmark.py --size 96    # quicker

Install the peers with `pip install -r requirements/bench.txt` (SciPy comes
with the test requirements); ImageMagick and pngquant are Debian packages.
A peer that is missing leaves its rows out.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from scipy.ndimage import gaussian_filter

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchmark import photo_like, smooth_field  # noqa: E402

from palettra_tools import PALETTES, dither, make_palette, read_image  # noqa: E402
from palettra_tools.dithering import ERROR_DIFFUSION  # noqa: E402

try:
    from PIL import Image
except ImportError:
    Image = None

try:
    import dithering
except ImportError:
    dithering = None

ROOT = Path(__file__).resolve().parent.parent
SIGMAS = (1, 2)

# ---------------------------------------------------------------- the measure


def linear(rgb):
    c = rgb.astype(np.float64) / 255.0
    return np.where(c <= 0.04045, c / 12.92, ((c + 0.055) / 1.055) ** 2.4)


M = np.array([[0.4124564, 0.3575761, 0.1804375], [0.2126729, 0.7151522, 0.0721750], [0.0193339, 0.1191920, 0.9503041]])


def lab_of_linear(lin):
    xyz = lin @ M.T / M.sum(axis=1)
    f = np.where(xyz > 216 / 24389, np.cbrt(xyz), (24389 / 27 * xyz + 16) / 116)
    return np.stack([116 * f[..., 1] - 16, 500 * (f[..., 0] - f[..., 1]), 200 * (f[..., 1] - f[..., 2])], axis=-1)


def ciede2000(lab1, lab2):
    l1, a1, b1 = np.moveaxis(lab1, -1, 0)
    l2, a2, b2 = np.moveaxis(lab2, -1, 0)
    c_mean = (np.hypot(a1, b1) + np.hypot(a2, b2)) / 2
    g = 0.5 * (1 - np.sqrt(c_mean**7 / (c_mean**7 + 25.0**7)))
    a1p, a2p = (1 + g) * a1, (1 + g) * a2
    c1p, c2p = np.hypot(a1p, b1), np.hypot(a2p, b2)
    h1p = np.degrees(np.arctan2(b1, a1p)) % 360
    h2p = np.degrees(np.arctan2(b2, a2p)) % 360
    dl, dc = l2 - l1, c2p - c1p
    dh = h2p - h1p
    dh = np.where(dh > 180, dh - 360, np.where(dh < -180, dh + 360, dh))
    dh = np.where(c1p * c2p == 0, 0, dh)
    dhh = 2 * np.sqrt(c1p * c2p) * np.sin(np.radians(dh / 2))
    l_mean, cp_mean = (l1 + l2) / 2, (c1p + c2p) / 2
    h_sum = h1p + h2p
    h_mean = np.where(np.abs(h1p - h2p) > 180, np.where(h_sum < 360, h_sum + 360, h_sum - 360), h_sum) / 2
    h_mean = np.where(c1p * c2p == 0, h_sum, h_mean)
    t = (1 - 0.17 * np.cos(np.radians(h_mean - 30)) + 0.24 * np.cos(np.radians(2 * h_mean))
         + 0.32 * np.cos(np.radians(3 * h_mean + 6)) - 0.20 * np.cos(np.radians(4 * h_mean - 63)))  # fmt: skip
    sl = 1 + 0.015 * (l_mean - 50) ** 2 / np.sqrt(20 + (l_mean - 50) ** 2)
    sc, sh = 1 + 0.045 * cp_mean, 1 + 0.015 * cp_mean * t
    rt = (-2 * np.sqrt(cp_mean**7 / (cp_mean**7 + 25.0**7))
          * np.sin(np.radians(60 * np.exp(-(((h_mean - 275) / 25) ** 2)))))  # fmt: skip
    return np.sqrt((dl / sl) ** 2 + (dc / sc) ** 2 + (dhh / sh) ** 2 + rt * (dc / sc) * (dhh / sh))


def seen_error(original, result, sigma):
    blurred = [gaussian_filter(linear(x), sigma=(sigma, sigma, 0), mode="reflect") for x in (original, result)]
    return float(ciede2000(lab_of_linear(blurred[0]), lab_of_linear(blurred[1])).mean())


# ---------------------------------------------------------------- pictures


def pictures(size):
    """(name, uint8 (size, size, 3) picture): drawn here, and the example."""
    rng = np.random.default_rng(21)
    ramp = np.linspace(0, 1, size)
    sky = np.stack([0.35 + 0.5 * ramp[:, None] * np.ones(size), 0.55 + 0.3 * ramp[:, None] * np.ones(size),
                    0.95 - 0.2 * ramp[:, None] * np.ones(size)], axis=-1)  # fmt: skip
    hues = np.stack([smooth_field(rng, size, size, waves=2) for _ in range(3)], axis=-1)
    skin = np.clip(np.array([0.85, 0.62, 0.5]) * (0.55 + 0.45 * smooth_field(rng, size, size, waves=3))[..., None], 0, 1)
    grey = np.repeat(ramp[None, :, None], 3, axis=2) * np.ones((size, 1, 1))
    example = read_image(ROOT / "examples" / "landscape.png").rgb
    reps = -(-size // min(example.shape[:2]))
    example = np.kron(example, np.ones((reps, reps, 1), np.uint8))[:size, :size]
    return [
        ("photo-like A", photo_like(rng, size)),
        ("photo-like B", photo_like(rng, size)),
        ("sky", (sky * 255).round().astype(np.uint8)),
        ("soft hues", (hues * 255).round().astype(np.uint8)),
        ("skin tones", (skin * 255).round().astype(np.uint8)),
        ("grey ramp", (grey * 255).round().astype(np.uint8)),
        ("landscape", np.ascontiguousarray(example)),
    ]


# ---------------------------------------------------------------- tools


def palettra_tools_rows(palette, metric):
    def run(method, light):
        return lambda image: palette.astype(np.uint8)[dither(image, palette, method, metric=metric, light=light)]

    rows = []
    for light in ("srgb", "linear"):
        for method in (*ERROR_DIFFUSION, "bayer8", "blue-noise"):
            rows.append((f"palettra {method}, {light}{', lab' if metric == 'lab' else ''}", run(method, light)))
    return rows


def pillow_fs(palette):
    holder = Image.new("P", (1, 1))
    flat = palette.astype(np.uint8).ravel().tolist()
    holder.putpalette(flat + flat[:3] * (256 - len(palette)))
    return lambda image: np.asarray(Image.fromarray(image).quantize(palette=holder, dither=Image.Dither.FLOYDSTEINBERG).convert("RGB"))


def dithering_fs(palette, linear_light):
    triples = [tuple(int(v) for v in row) for row in palette]
    return lambda image: dithering.error_diffusion(image, "floyd_steinberg", palette=triples, linear=linear_light)


def write_png(path, array):
    Image.fromarray(array).save(path)


def read_rgb(path):
    return np.asarray(Image.open(path).convert("RGB"))


def external_tool(command):
    """A peer that is a program: the picture written as in.png, the program
    run as `command(folder, source, out)` gives it, out.png read back."""

    def run(image):
        with tempfile.TemporaryDirectory() as name:
            folder = Path(name)
            source, out = folder / "in.png", folder / "out.png"
            write_png(source, image)
            subprocess.run(command(folder, source, out), check=True)
            return read_rgb(out)

    return run


def magick_remap(palette):
    def command(folder, source, out):
        swatch = folder / "palette.png"
        write_png(swatch, palette.astype(np.uint8)[None])
        return ["convert", source, "-dither", "FloydSteinberg", "-remap", swatch, out]

    return external_tool(command)


def magick_colours(colours):
    return external_tool(
        lambda folder, source, out: ["convert", source, "-dither", "FloydSteinberg", "-colors", str(colours), out]
    )


def pngquant(colours):
    return external_tool(lambda folder, source, out: ["pngquant", "--force", "--output", out, str(colours), source])


def has_magick():
    if shutil.which("convert") is None:
        return False
    version = subprocess.run(["convert", "-version"], capture_output=True, text=True)
    return "ImageMagick" in version.stdout


def fixed_tools(palette):
    rows = palettra_tools_rows(palette, "rgb")
    colours = palette.astype(np.uint8)
    rows.append(("palettra floyd-steinberg, linear, lab",
                 lambda image: colours[dither(image, palette, metric="lab", light="linear")]))  # fmt: skip
    if Image is not None:
        rows.append(("Pillow FS", pillow_fs(palette)))
        if has_magick():
            rows.append(("ImageMagick -remap FS", magick_remap(palette)))
    if dithering is not None:
        rows += [("dithering FS", dithering_fs(palette, False)), ("dithering FS, linear", dithering_fs(palette, True))]
    return rows


def made_tools(colours):
    """Tools that make their own palette of `colours` from each picture."""

    def palettra(method, light, metric):
        def run(image):
            made = make_palette(image, colours, metric=metric)
            return made.astype(np.uint8)[dither(image, made, method, metric=metric, light=light)]

        return run

    rows = [(f"palettra {method}, {light}, {metric}", palettra(method, light, metric))
            for metric in ("rgb", "lab") for light in ("srgb", "linear")
            for method in ("floyd-steinberg", "atkinson", "blue-noise")]  # fmt: skip
    if Image is not None:
        if has_magick():
            rows.append(("ImageMagick -colors FS", magick_colours(colours)))
        if shutil.which("pngquant"):
            rows.append(("pngquant default", pngquant(colours)))
    return rows


# ---------------------------------------------------------------- the run


def measure(rows, images):
    """{label: ([error per picture] per sigma, seconds)}."""
    results = {}
    for label, run in rows:
        errors = {sigma: [] for sigma in SIGMAS}
        seconds = 0.0
        for _, image in images:
            start = time.perf_counter()
            result = run(image)
            seconds += time.perf_counter() - start
            for sigma in SIGMAS:
                errors[sigma].append(seen_error(image, result, sigma))
        results[label] = (errors, seconds)
    return results


def table(title, results, images):
    megapixels = sum(image.shape[0] * image.shape[1] for _, image in images) / 1e6
    print(f"### {title}")
    print()
    print("| tool | sigma 1 | sigma 2 | ms/MP |")
    print("|---|---:|---:|---:|")
    for label, (errors, seconds) in sorted(results.items(), key=lambda item: np.mean(item[1][0][1])):
        means = " | ".join(f"{np.mean(errors[sigma]):.2f}" for sigma in SIGMAS)
        print(f"| {label} | {means} | {1000 * seconds / megapixels:.0f} |")
    print()


def ratio_checks(results, mine, theirs, limit, worst_limit=None):
    """(what, mean ratio, worst ratio on one picture, met) per sigma."""
    checks = []
    if mine not in results or theirs not in results:
        return [(f"{mine} vs {theirs}", None, None, None)]
    for sigma in SIGMAS:
        a, b = np.array(results[mine][0][sigma]), np.array(results[theirs][0][sigma])
        # A picture the peer gets exactly right counts by the difference alone.
        ratios = np.where(b > 0, a / np.maximum(b, 1e-12), np.where(a > 0, np.inf, 1.0))
        mean_ratio, worst = a.mean() / max(b.mean(), 1e-12), ratios.max()
        met = mean_ratio <= limit and (worst_limit is None or worst <= worst_limit)
        checks.append((f"{mine} ≤ {limit:g}× {theirs}, sigma {sigma}", mean_ratio, worst, met))
    return checks


def speed_checks(results, mine, theirs, limit):
    if mine not in results or theirs not in results:
        return [(f"{mine} time vs {theirs}", None, None, None)]
    ratio = results[mine][1] / results[theirs][1]
    return [(f"time of {mine} ≤ {limit:g}× {theirs}", ratio, None, ratio <= limit)]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=384, help="picture side in pixels")
    parser.add_argument("--colours", type=int, default=16, help="colours of the made palettes")
    args = parser.parse_args(argv)
    images = pictures(args.size)
    peers = [f"Pillow {Image.__version__}" if Image else "no Pillow",
             f"dithering {dithering.__version__}" if dithering else "no dithering",
             "ImageMagick" if has_magick() else "no ImageMagick",
             "pngquant" if shutil.which("pngquant") else "no pngquant"]  # fmt: skip
    print(f"{len(images)} pictures of {args.size}×{args.size}: {', '.join(name for name, _ in images)}; {', '.join(peers)}")
    print()
    checks = []
    for name in ("pico-8", "web-safe", "epaper-7"):
        palette = PALETTES[name].colours
        results = measure(fixed_tools(palette), images)
        table(f"{name} ({len(palette)} colours)", results, images)
        fs = "palettra floyd-steinberg, linear"
        checks += [(f"{name}: {what}", *rest) for what, *rest in
                   ratio_checks(results, fs, "dithering FS, linear", 0.95, worst_limit=1.0)
                   + ratio_checks(results, fs, "Pillow FS", 0.7)]  # fmt: skip
        if name == "pico-8":
            checks += speed_checks(results, fs, "palettra floyd-steinberg, srgb", 1.2)
            for light in ("srgb", "linear"):
                checks += speed_checks(results, f"palettra blue-noise, {light}", f"palettra bayer8, {light}", 1.0)
    results = measure(made_tools(args.colours), images)
    table(f"made palettes of {args.colours} colours", results, images)
    best = min((label for label in results if label.startswith("palettra")), key=lambda label: np.mean(results[label][0][1]))
    for peer in ("pngquant default", "ImageMagick -colors FS"):
        checks += [(f"made palettes: {what}", *rest) for what, *rest in ratio_checks(results, best, peer, 1.0)]
    print("### targets")
    print()
    print("| target | mean ratio | worst picture | met |")
    print("|---|---:|---:|---|")
    for what, ratio, worst, met in checks:
        if ratio is None:
            print(f"| {what} | not measured | | |")
        else:
            worst_text = "" if worst is None else f"{worst:.2f}"
            print(f"| {what} | {ratio:.2f} | {worst_text} | {'yes' if met else 'no'} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
