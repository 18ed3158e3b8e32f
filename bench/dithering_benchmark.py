"""Times palettra_tools' index maps and dithering against Pillow and the
`dithering` package, on the same image in one run, and prints a Markdown
table with the speed targets; then Floyd–Steinberg on one thread and on
all cores beside Pillow's, and two images on two threads against one.

    python bench/dithering_benchmark.py                  # 2048×2048, about a minute
    python bench/dithering_benchmark.py --size 64 --repeat 1

Install the peers with `pip install -r requirements/bench.txt`; a peer that
is missing leaves its rows out. Times are process CPU time (--clock wall for
wall-clock time), the median of the runs after a warm-up, with error
diffusion on one thread; the comparisons of thread counts always use
wall-clock time.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import threading
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchmark import machine, peak_of, photo_like  # noqa: E402

from palettra_tools import dither, indices  # noqa: E402
from palettra_tools.threads import thread_count  # noqa: E402

try:
    from PIL import Image
except ImportError:
    Image = None

try:
    import dithering
except ImportError:
    dithering = None


def timed(function, repeat, clock):
    """Median time of `repeat` runs after a warm-up, and the last result."""
    result = function()
    times = []
    for _ in range(max(1, repeat)):
        start = clock()
        result = function()
        times.append(clock() - start)
    return statistics.median(times), result


def pillow_quantize(image, palette, dither_mode):
    holder = Image.new("P", (1, 1))
    holder.putpalette(palette.astype(np.uint8).ravel().tolist())
    rgb = Image.fromarray(image)
    return lambda: np.asarray(rgb.quantize(palette=holder, dither=dither_mode))


def tools(image, palette):
    """(label, tool, function giving an index map or an RGB array)."""
    colours = palette.astype(np.uint8)
    # One thread each: process CPU time would add up the threads' times.
    rows = [
        ("index map", "palettra indices", lambda: indices(image, palette, threads=1)),
        ("Floyd–Steinberg", "palettra dither", lambda: dither(image, palette, threads=1)),
        ("Floyd–Steinberg, RGB out", "palettra dither",
         lambda: np.take(colours, dither(image, palette, threads=1), axis=0)),
        ("bayer8", "palettra dither", lambda: dither(image, palette, "bayer8", threads=1)),
        ("bayer8, RGB out", "palettra dither",
         lambda: np.take(colours, dither(image, palette, "bayer8", threads=1), axis=0)),
    ]
    if Image is not None and len(palette) <= 256:
        rows += [
            ("index map", "Pillow quantize", pillow_quantize(image, palette, Image.Dither.NONE)),
            ("Floyd–Steinberg", "Pillow quantize", pillow_quantize(image, palette, Image.Dither.FLOYDSTEINBERG)),
        ]
    if dithering is not None:
        triples = [tuple(int(v) for v in row) for row in palette]
        rows += [
            ("Floyd–Steinberg, RGB out", "dithering",
             lambda: dithering.error_diffusion(image, "floyd_steinberg", palette=triples)),
            ("bayer8, RGB out", "dithering", lambda: dithering.ordered_dither(image, "bayer8x8", palette=triples)),
        ]  # fmt: skip
    return rows


def targets(times, wall):
    """The speed targets as (what, measured ratio, limit); `wall` holds the
    wall times of Floyd–Steinberg by (colours, tool)."""
    def ratio(a, b):
        return times[a] / times[b] if a in times and b in times else None

    def wall_ratio(colours):
        mine, pillow = wall.get((colours, "all cores")), wall.get((colours, "Pillow"))
        return mine / pillow if mine is not None and pillow is not None else None

    checks = []
    for colours, limit in ((16, 1.0), (256, 1.5)):
        checks.append((f"indices ≤ {limit:g}× Pillow, {colours} colours",
                       ratio((colours, "index map", "palettra indices"), (colours, "index map", "Pillow quantize")), limit))
        checks.append((f"Floyd–Steinberg ≤ {limit:g}× Pillow, {colours} colours",
                       ratio((colours, "Floyd–Steinberg", "palettra dither"), (colours, "Floyd–Steinberg", "Pillow quantize")), limit))
    checks.append(("Floyd–Steinberg ≤ 0.5× dithering, 16 colours",
                   ratio((16, "Floyd–Steinberg, RGB out", "palettra dither"), (16, "Floyd–Steinberg, RGB out", "dithering")), 0.5))
    for colours in (16, 256):
        checks.append((f"bayer8 ≤ 2× indices, {colours} colours",
                       ratio((colours, "bayer8", "palettra dither"), (colours, "index map", "palettra indices")), 2.0))
    for colours in (16, 256):
        checks.append((f"Floyd–Steinberg, all cores ≤ 0.6× Pillow, {colours} colours", wall_ratio(colours), 0.6))
    return checks  # fmt: skip


def diffusion_on_all_cores(image, palettes, repeat):
    """Wall times of Floyd–Steinberg on one thread, on all cores and by
    Pillow, by (colours, tool): each round runs the three in turn, and each
    keeps its best round, the one least disturbed by other work."""
    wall = {}
    for colours, palette in palettes.items():
        tools = {"1 thread": lambda: dither(image, palette, threads=1), "all cores": lambda: dither(image, palette)}
        if Image is not None and colours <= 256:
            tools["Pillow"] = pillow_quantize(image, palette, Image.Dither.FLOYDSTEINBERG)
        for function in tools.values():
            function()
        for _ in range(max(1, repeat)):
            for tool, function in tools.items():
                start = time.perf_counter()
                function()
                took = time.perf_counter() - start
                wall[(colours, tool)] = min(took, wall.get((colours, tool), took))
    return wall


def thread_ratio(work, first, second, repeat):
    """Wall time of work(first) and work(second) on two threads over that of
    work(first) alone: 1 when the two run side by side, 2 when one waits."""

    def both():
        worker = threading.Thread(target=work, args=(second,))
        worker.start()
        work(first)
        worker.join()

    one, _ = timed(lambda: work(first), repeat, time.perf_counter)
    two, _ = timed(both, repeat, time.perf_counter)
    return two / one


def peak_above_map(size, colours, method):
    """Peak memory of one call beyond the index map it returns."""
    setup = (
        "import numpy as np\n"
        "from benchmark import photo_like\n"
        "from palettra_tools import dither\n"
        f"image = photo_like(np.random.default_rng(7), {size})\n"
        f"palette = np.random.default_rng(8).integers(0, 256, ({colours}, 3)).astype(np.uint64)\n"
        f"dither(image[:8, :8], palette, {method!r})"
    )
    return peak_of(setup, f"dither(image, palette, {method!r})")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=2048, help="image side in pixels")
    parser.add_argument("--repeat", type=int, default=5, help="runs per tool (median)")
    parser.add_argument("--colours", type=int, nargs="+", default=[16, 256])
    parser.add_argument("--clock", choices=["cpu", "wall"], default="cpu")
    args = parser.parse_args(argv)

    rng = np.random.default_rng(2024)
    image = photo_like(rng, args.size)
    megapixels = args.size * args.size / 1e6
    clock = time.process_time if args.clock == "cpu" else time.perf_counter
    peers = [f"Pillow {Image.__version__}" if Image else "no Pillow",
             f"dithering {dithering.__version__}" if dithering else "no dithering"]  # fmt: skip
    print(f"Machine: {machine()}; {', '.join(peers)}")
    print(f"Photo-like uint8 image {args.size}×{args.size}; {args.clock} time, median of {args.repeat} runs after a warm-up")
    print()
    print("| colours | task | tool | ms | ms/MP | wrong |")
    print("|---:|---|---|---:|---:|---:|")
    times = {}
    palettes = {colours: rng.integers(0, 256, (colours, 3)).astype(np.uint64) for colours in args.colours}
    for colours, palette in palettes.items():
        exact = indices(image, palette)
        for task, tool, function in tools(image, palette):
            seconds, result = timed(function, args.repeat, clock)
            times[(colours, task, tool)] = seconds
            wrong = ""
            if task == "index map":
                wrong = f"{100 * np.count_nonzero(result != exact) / exact.size:.2f}%"
            print(f"| {colours} | {task} | {tool} | {1000 * seconds:.1f} | {1000 * seconds / megapixels:.1f} | {wrong} |")
    print()
    cores = thread_count(None)
    wall = diffusion_on_all_cores(image, palettes, args.repeat)
    print(f"Floyd–Steinberg in wall time, best of {args.repeat} rounds; all cores: {cores}")
    print()
    print("| colours | 1 thread ms | all cores ms | Pillow ms | 1 thread ÷ all cores | all cores ÷ Pillow |")
    print("|---:|---:|---:|---:|---:|---:|")
    for colours in palettes:
        one, every, pillow = (wall.get((colours, tool)) for tool in ("1 thread", "all cores", "Pillow"))
        versus = "–" if pillow is None else f"{every / pillow:.2f}×"
        shown = "–" if pillow is None else f"{1000 * pillow:.1f}"
        print(f"| {colours} | {1000 * one:.1f} | {1000 * every:.1f} | {shown} | {one / every:.2f}× | {versus} |")
    print()
    print("| target | measured | met |")
    print("|---|---:|---|")
    for what, ratio, limit in targets(times, wall):
        if ratio is None:
            print(f"| {what} | not measured | |")
        else:
            print(f"| {what} | {ratio:.2f}× | {'yes' if ratio <= limit else 'no'} |")
    print()
    palette = rng.integers(0, 256, (16, 3)).astype(np.uint64)
    mine = thread_ratio(lambda img: dither(img, palette, threads=1), image, np.ascontiguousarray(image[::-1]), args.repeat)
    # NumPy's sort also lets other threads run: what the machine allows at the moment.
    values = np.random.default_rng(1).random(image.size // 3)
    control = thread_ratio(np.sort, values, values[::-1].copy(), args.repeat)
    print(f"Two images on two threads take {mine:.2f}× the wall time of one on one thread "
          f"(Floyd–Steinberg, 16 colours); NumPy's sort, side by side: {control:.2f}× "
          f"({os.cpu_count()} logical cores, load average {os.getloadavg()[0]:.1f})")  # fmt: skip
    for method in ("none", "floyd-steinberg"):
        peak = peak_above_map(args.size, 16, method)
        text = "not measured" if peak is None else f"{max(peak, 0) / 2**20:.1f} MiB"
        print(f"Peak memory above the index map ({method}, 16 colours): {text}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
