"""Index maps, ordered dithering and convert against Pillow and the memory
floor, side by side in one run, on one thread and on all; prints a Markdown
table and the speed targets.

    python bench/index_map_benchmark.py                 # 2048×2048, about a minute
    python bench/index_map_benchmark.py --size 256 --repeat 1
    python bench/index_map_benchmark.py --instructions  # + instructions per pixel (valgrind)

Times are wall-clock, the best of the runs after a warm-up, every tool run
in turn within each round, so that a busy moment of the machine hits all of
them alike. Instruction counts (callgrind) are the same from run to run,
which times on a shared machine are not: they tell whether a change helped.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchmark import machine, memory_floor, photo_like, pixel_art_like  # noqa: E402

import palettra  # noqa: E402
from palettra_tools import dither, indices  # noqa: E402
from palettra_tools.threads import thread_count  # noqa: E402

try:
    from PIL import Image
except ImportError:
    Image = None


def best_times(functions, repeat):
    """The best wall time of every function, one run of each per round."""
    for function in functions.values():
        function()
    best = dict.fromkeys(functions, float("inf"))
    for _ in range(max(1, repeat)):
        for name, function in functions.items():
            start = time.perf_counter()
            function()
            best[name] = min(best[name], time.perf_counter() - start)
    return best


def pillow_indices(image, palette):
    holder = Image.new("P", (1, 1))
    holder.putpalette(palette.astype(np.uint8).ravel().tolist())
    rgb = Image.fromarray(image)
    return lambda: np.asarray(rgb.quantize(palette=holder, dither=Image.Dither.NONE))


def tools(image, palette, cores):
    functions = {
        "indices, 1 thread": lambda: indices(image, palette, threads=1),
        f"indices, {cores} threads": lambda: indices(image, palette, threads=cores),
        "bayer8, 1 thread": lambda: dither(image, palette, "bayer8", threads=1),
        f"bayer8, {cores} threads": lambda: dither(image, palette, "bayer8", threads=cores),
        "convert (uint64 out)": lambda: palettra.convert(image, palette),
        "memory floor (uint64 out)": lambda: memory_floor(image, palette),
    }
    if Image is not None and len(palette) <= 256:
        functions["Pillow quantize, no dither"] = pillow_indices(image, palette)
    return functions


INSTRUCTION_PROBE = """
import numpy as np
import palettra
from palettra_tools import indices
image = np.load({image!r})
palette = np.random.default_rng({colours}).integers(0, 256, ({colours}, 3)).astype(np.uint64)
indices(image[:4], palette, threads=1)
palettra.convert(image[:4], palette)
for _ in range({calls}):
    {call}
"""


def instructions_per_pixel(image, colours, call, scratch):
    """Instructions of one call per pixel: two runs under callgrind, with
    and without the call, so that start-up cancels out."""
    path = os.path.join(scratch, "image.npy")
    np.save(path, image)
    counts = []
    for calls in (0, 1):
        code = INSTRUCTION_PROBE.format(image=path, colours=colours, calls=calls, call=call)
        done = subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={scratch}/out", sys.executable, "-c", code],
            capture_output=True, text=True, timeout=1800, env={**os.environ, "PYTHONHASHSEED": "0"},
        )  # fmt: skip
        lines = [line for line in done.stderr.splitlines() if "Collected" in line or "refs:" in line]
        if done.returncode != 0 or not lines:
            return None
        counts.append(int(lines[-1].split()[-1].replace(",", "")))
    return (counts[1] - counts[0]) / (image.shape[0] * image.shape[1])


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=2048, help="image side in pixels")
    parser.add_argument("--repeat", type=int, default=7, help="rounds (best of)")
    parser.add_argument("--colours", type=int, nargs="+", default=[16, 256])
    parser.add_argument("--instructions", action="store_true", help="also count instructions with valgrind")
    args = parser.parse_args(argv)

    cores = thread_count(None)
    rng = np.random.default_rng(2024)
    images = {"photo": photo_like(rng, args.size), "pixel art": pixel_art_like(rng, args.size)}
    megapixels = args.size * args.size / 1e6
    print(f"Machine: {machine().removesuffix('; one thread')}; {cores} cores usable")
    print(f"{args.size}×{args.size} uint8 images; wall time, best of {args.repeat} rounds after a warm-up")
    print()
    print("| image | colours | tool | ms/MP | ÷ Pillow | ÷ floor |")
    print("|---|---:|---|---:|---:|---:|")
    checks = []
    for name, image in images.items():
        for colours in args.colours:
            palette = np.random.default_rng(colours).integers(0, 256, (colours, 3)).astype(np.uint64)
            times = best_times(tools(image, palette, cores), args.repeat)
            pillow = times.get("Pillow quantize, no dither")
            floor = times["memory floor (uint64 out)"]
            for tool, seconds in times.items():
                versus = f"{seconds / pillow:.2f}×" if pillow else ""
                print(f"| {name} | {colours} | {tool} | {1000 * seconds / megapixels:.2f} | {versus} "
                      f"| {seconds / floor:.2f}× |")  # fmt: skip
            if name == "photo" and pillow:
                checks.append((f"indices, 1 thread ≤ 1× Pillow, {colours} colours",
                               times["indices, 1 thread"] / pillow, 1.0))
                checks.append((f"indices, {cores} threads ≤ 0.6× Pillow, {colours} colours",
                               times[f"indices, {cores} threads"] / pillow, 0.6))  # fmt: skip
            limit = {("photo", 16): 1.6, ("photo", 256): 2.0}.get((name, colours), 1.25)
            checks.append((f"convert ≤ {limit:g}× floor, {name}, {colours} colours",
                           times["convert (uint64 out)"] / floor, limit))  # fmt: skip
    # NumPy's sort lets other threads run too: what the machine gives two
    # threads at the moment, the bound of any gain from bands.
    values = np.random.default_rng(1).random(images["photo"].size // 3)

    def two_sorts():
        worker = threading.Thread(target=np.sort, args=(values,))
        worker.start()
        np.sort(values)
        worker.join()

    control = best_times({"one": lambda: np.sort(values), "two": two_sorts}, args.repeat)
    print()
    print(f"Control: two NumPy sorts side by side take {control['two'] / control['one']:.2f}× the wall time of one "
          f"(1.00× with two free cores; load average {os.getloadavg()[0]:.1f})")  # fmt: skip
    print()
    print("| target | measured | met |")
    print("|---|---:|---|")
    for what, ratio, limit in checks:
        print(f"| {what} | {ratio:.2f}× | {'yes' if ratio <= limit else f'no, by {ratio / limit:.2f}×'} |")
    if args.instructions:
        if shutil.which("valgrind") is None:
            print("\nInstruction counts: valgrind is not installed")
            return 0
        print()
        print("| image | colours | call | instructions per pixel |")
        # Start-up varies by some ten million instructions: small images drown in it.
        print("|---|---:|---|---:|")
        calls = {"indices, 1 thread": "indices(image, palette, threads=1)",
                 "convert": "palettra.convert(image, palette)"}  # fmt: skip
        for name, image in images.items():
            for colours in args.colours:
                for label, call in calls.items():
                    with tempfile.TemporaryDirectory() as scratch:
                        count = instructions_per_pixel(image, colours, call, scratch)
                    text = "not measured" if count is None else f"{count:.1f}"
                    print(f"| {name} | {colours} | {label} | {text} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
