"""Times palettra against the tools one would otherwise use to map an image to
a fixed palette, on the same inputs in one run, and prints Markdown tables.

    python bench/benchmark.py                 # 2048×2048 images, a few minutes
    python bench/benchmark.py --size 16 --repeat 1

Times are the process's CPU time by default (--clock wall for wall-clock
time): every tool runs on one thread, and on a shared machine CPU time is far
steadier than wall time. Every tool produces the same thing: an (h, w, 3) uint64 array of palette
colours. "wrong" is the share of pixels whose colour differs from the exact
answer (the first palette row at the smallest squared distance in double
precision); palettra's own answer is checked against the NumPy reference.
"""

from __future__ import annotations

import argparse
import gc
import os
import platform
import statistics
import subprocess
import sys
import time

import numpy as np

import adversarial
import palettra

try:
    from scipy.spatial import cKDTree
except ImportError:  # the benchmark still runs, without that column
    cKDTree = None

try:
    from PIL import Image
except ImportError:
    Image = None


# ---------------------------------------------------------------- inputs


def smooth_field(rng, height, width, waves=6):
    """A sum of a few random low-frequency waves, scaled to [0, 1]."""
    y = np.linspace(0.0, 1.0, height)[:, None]
    x = np.linspace(0.0, 1.0, width)[None, :]
    field = np.zeros((height, width))
    for _ in range(waves):
        fy, fx = rng.uniform(0.5, 4.0, 2)
        phase = rng.uniform(0, 2 * np.pi)
        field += np.sin(2 * np.pi * (fy * y + fx * x) + phase)
    field -= field.min()
    top = field.max()
    return field / top if top > 0 else field


def photo_like(rng, size):
    """Smooth shading plus sensor-like noise: many distinct colours."""
    channels = [smooth_field(rng, size, size) * 235 + rng.normal(0, 6, (size, size)) for _ in range(3)]
    return np.clip(np.stack(channels, axis=-1), 0, 255).round().astype(np.uint8)


def pixel_art_like(rng, size):
    """Flat blobs of a dozen colours, each art pixel a block of screen pixels."""
    block = max(1, size // 128)
    cells = -(-size // block)
    colours = rng.integers(0, 256, (12, 3), dtype=np.uint8)
    index = (smooth_field(rng, cells, cells, waves=8) * 11.999).astype(np.intp)
    art = colours[index]
    art = np.repeat(np.repeat(art, block, axis=0), block, axis=1)
    return np.ascontiguousarray(art[:size, :size])


def image_cases(rng, size):
    photo = photo_like(rng, size)
    art = pixel_art_like(rng, size)
    # (name, image, factor applied to 8-bit palette values for this image)
    return [
        ("uint8 photo", photo, 1),
        ("uint8 pixel art", art, 1),
        ("uint16 photo", photo.astype(np.uint16) * 257, 257),
        ("uint64 photo ×2^40", photo.astype(np.uint64) << np.uint64(40), 1 << 40),
    ]


# ---------------------------------------------------------------- tools


class ItemImage:
    """An image seen only through `shape` and `__getitem__`."""

    def __init__(self, array):
        self.array = array
        self.shape = array.shape

    def __getitem__(self, key):
        return self.array[key]


def numpy_reference(image, palette, budget=1 << 24):
    """Chunked broadcasting and argmin in float64: the same arithmetic."""
    height, width = image.shape[:2]
    pixels = image[:, :, :3].reshape(-1, 3)
    entries = palette[:, :3]
    e = entries.astype(np.float64)
    out = np.empty((height * width, 3), dtype=np.uint64)
    chunk = max(1, budget // max(1, len(palette)))
    for start in range(0, len(pixels), chunk):
        s = pixels[start : start + chunk].astype(np.float64)
        d0 = s[:, 0:1] - e[:, 0]
        d1 = s[:, 1:2] - e[:, 1]
        d2 = s[:, 2:3] - e[:, 2]
        d0 *= d0
        d1 *= d1
        d2 *= d2
        d0 += d1
        d0 += d2
        out[start : start + chunk] = entries[np.argmin(d0, axis=1)]
    return out.reshape(height, width, 3)


def kd_tree(image, palette):
    height, width = image.shape[:2]
    entries = palette[:, :3]
    tree = cKDTree(entries.astype(np.float64))
    _, index = tree.query(image[:, :, :3].reshape(-1, 3).astype(np.float64))
    return entries[index].reshape(height, width, 3)


def pillow(image, palette):
    holder = Image.new("P", (1, 1))
    holder.putpalette(palette[:, :3].astype(np.uint8).ravel().tolist())
    rgb = Image.fromarray(np.ascontiguousarray(image[:, :, :3]))
    mapped = rgb.quantize(palette=holder, dither=Image.Dither.NONE).convert("RGB")
    return np.asarray(mapped).astype(np.uint64)


def memory_floor(image, palette):
    out = np.empty(image.shape[:2] + (3,), dtype=np.uint64)
    out[...] = image[:, :, :3]
    return out


def tools_for(image, palette, with_item_access):
    tools = [("palettra", lambda: palettra.convert(image, palette))]
    if with_item_access:
        wrapped = ItemImage(image)
        tools.append(("palettra, item access", lambda: palettra.convert(wrapped, palette)))
    tools.append(("NumPy reference", lambda: numpy_reference(image, palette)))
    if cKDTree is not None:
        tools.append(("cKDTree", lambda: kd_tree(image, palette)))
    if Image is not None and image.dtype == np.uint8 and len(palette) <= 256:
        tools.append(("Pillow quantize", lambda: pillow(image, palette)))
    tools.append(("memory floor", lambda: memory_floor(image, palette)))
    return tools


# ---------------------------------------------------------------- timing


def timed(function, repeat, patience, clock):
    """Median of `repeat` runs after one to warm up; a tool slower than
    `patience` seconds, or a single repeat, runs once and that run counts.
    Gives (seconds, last result)."""

    def once():
        gc.collect()
        start = clock()
        result = function()
        return clock() - start, result

    first, result = once()
    if first > patience or repeat <= 1:
        return first, result
    times = []
    for _ in range(repeat):
        del result
        seconds, result = once()
        times.append(seconds)
    return statistics.median(times), result


def machine():
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith(("model name", "Model")):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    versions = [f"CPython {platform.python_version()}", f"NumPy {np.__version__}"]
    if cKDTree is not None:
        import scipy

        versions.append(f"SciPy {scipy.__version__}")
    if Image is not None:
        import PIL

        versions.append(f"Pillow {PIL.__version__}")
    return (
        f"{model}, {os.cpu_count()} logical cores, {platform.system()} {platform.release()} "
        f"{platform.machine()}; {', '.join(versions)}; one thread"
    )


PEAK_PROBE = """
import sys
sys.path.insert(0, {bench!r})
{setup}

def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024

with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmRSS")
result = {call}
print(status("VmHWM") - before - result.nbytes)
"""


def peak_of(setup, call):
    """Peak resident memory of `call` beyond the array it returns, after
    `setup`, in a fresh process (Linux only); None where it cannot be measured."""
    code = PEAK_PROBE.format(bench=os.path.dirname(os.path.abspath(__file__)), setup=setup, call=call)
    # A fixed threshold keeps the C library from serving large blocks from
    # memory that the setup left resident, unseen.
    env = {**os.environ, "MALLOC_MMAP_THRESHOLD_": str(1 << 17)}
    try:
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=600, env=env)
        return int(done.stdout.strip()) if done.returncode == 0 else None
    except (OSError, ValueError, subprocess.TimeoutExpired):
        return None


def peak_above_result(size, colours):
    """Peak memory of one convert call beyond its result (uint8 photo)."""
    setup = (
        "import numpy as np, palettra, benchmark\n"
        "rng = np.random.default_rng(7)\n"
        f"image = benchmark.photo_like(rng, {size})\n"
        f"palette = rng.integers(0, 256, ({colours}, 3)).astype(np.uint64)\n"
        "palettra.convert(image[:8, :8], palette)"
    )
    return peak_of(setup, "palettra.convert(image, palette)")


# ---------------------------------------------------------------- report


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=2048, help="image side in pixels")
    parser.add_argument("--repeat", type=int, default=5, help="runs per tool (median)")
    parser.add_argument("--patience", type=float, default=2.0, help="a tool slower than this (s) runs once")
    parser.add_argument("--colours", type=int, nargs="+", default=[4, 16, 64, 256])
    parser.add_argument("--clock", choices=["cpu", "wall"], default="cpu")
    parser.add_argument("--no-item-access", action="store_true", help="skip the slow item-access path")
    args = parser.parse_args(argv)

    rng = np.random.default_rng(2024)
    megapixels = args.size * args.size / 1e6
    print(f"Machine: {machine()}")
    clock = time.process_time if args.clock == "cpu" else time.perf_counter
    print(
        f"Images {args.size}×{args.size} ({megapixels:.2f} MP); {args.clock} time, median of "
        f"{args.repeat} runs after a warm-up (one run for tools slower than {args.patience:g} s)"
    )
    print()
    disagreements = 0
    for name, image, scale in image_cases(rng, args.size):
        distinct = len(np.unique(image.reshape(-1, 3), axis=0))
        print(f"### {name} ({distinct} distinct colours)")
        print()
        print("| colours | tool | ms | ms/MP | × palettra | wrong |")
        print("|---:|---|---:|---:|---:|---:|")
        for colours in args.colours:
            palette = rng.integers(0, 256, (colours, 3)).astype(np.uint64) * np.uint64(scale)
            exact = None
            rows = []
            for tool, function in tools_for(image, palette, not args.no_item_access):
                seconds, result = timed(function, args.repeat, args.patience, clock)
                if tool == "palettra":
                    mine = result
                if tool == "NumPy reference":
                    exact = result
                rows.append((tool, seconds, result))
                del result
            if not np.array_equal(mine, exact):
                disagreements += 1
            base = rows[0][1]
            for tool, seconds, result in rows:
                if tool == "memory floor":
                    wrong = ""
                else:
                    share = np.count_nonzero((result != exact).any(axis=-1)) / (image.shape[0] * image.shape[1])
                    wrong = f"{100 * share:.2f}%"
                print(
                    f"| {colours} | {tool} | {1000 * seconds:.1f} | {1000 * seconds / megapixels:.1f} "
                    f"| {seconds / base:.2f} | {wrong} |"
                )
            del rows, mine, exact
        print()
    disagreements += adversarial.report(
        min(args.size, 256), lambda function: timed(function, args.repeat, args.patience, clock), peak_of
    )
    for colours in (16, 256):
        if colours in args.colours:
            peak = peak_above_result(args.size, colours)
            text = "not measured" if peak is None else f"{peak / 2**20:.1f} MiB"
            print(f"Peak memory of one call above its result (uint8 photo, {colours} colours): {text}")
    if disagreements:
        print(f"palettra disagreed with the NumPy reference in {disagreements} case(s)")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
