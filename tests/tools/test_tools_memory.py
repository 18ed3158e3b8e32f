import os
import subprocess
import sys

import imagecodecs
import numpy as np
import pytest
from PIL import Image

pytestmark = pytest.mark.skipif(
    bool(os.environ.get("PALETTRA_SANITIZED")), reason="the sanitizers' own bookkeeping swamps the figures"
)

# Runs the command given as arguments and prints its peak resident memory in KiB.
MEASURE = """
import resource, subprocess, sys
subprocess.run(sys.argv[1:], check=True)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
"""


def photo_like(height, width, channels, dtype):
    """Gradients with noise: many colours, but quick to compress."""
    top = np.iinfo(dtype).max
    y = np.linspace(0, top, height)[:, None, None]
    x = np.linspace(0, top, width)[None, :, None]
    odd = np.arange(channels)[None, None, :] % 2
    noise = np.random.default_rng(5).integers(-top // 32, top // 32, size=(height, width, channels))
    return np.clip((y * odd + x * (1 - odd)) / 2 + top / 4 + noise, 0, top).astype(dtype)


def save(path, pixels):
    if pixels.dtype == np.uint16:
        path.write_bytes(imagecodecs.png_encode(pixels, level=1))
    else:
        Image.fromarray(pixels).save(path, compress_level=1)


def peak_kib(tmp_path, image, args):
    command = [sys.executable, "-m", "palettra_tools", image, "-p", "pico-8", "-q", "--no-progress", *args]
    done = subprocess.run(
        [sys.executable, "-c", MEASURE, *command], cwd=tmp_path, capture_output=True, text=True, timeout=600
    )
    assert done.returncode == 0, done.stderr
    return int(done.stdout)


@pytest.mark.parametrize(
    "shape, dtype, args",
    [
        ((3000, 4000, 3), np.uint8, ["-o", "out.png"]),
        ((3000, 4000, 3), np.uint8, ["-o", "out.png", "--indexed"]),
        ((3000, 4000, 3), np.uint8, ["-o", "out.gif"]),
        ((1500, 2000, 4), np.uint16, ["-o", "out.png", "--metric", "lab"]),
    ],
    ids=["8-bit", "indexed", "gif", "16-bit rgba lab"],
)
def test_peak_memory_is_at_most_three_times_the_decoded_image(tmp_path, shape, dtype, args):
    save(tmp_path / "big.png", photo_like(*shape, dtype))
    save(tmp_path / "small.png", photo_like(16, 16, shape[2], dtype))
    # The interpreter, NumPy, Pillow and the codecs, measured on a tiny image.
    baseline = peak_kib(tmp_path, "small.png", args)
    used = (peak_kib(tmp_path, "big.png", args) - baseline) * 1024
    decoded = np.prod(shape) * np.dtype(dtype).itemsize
    assert used <= 3 * decoded, f"{used / decoded:.2f} times the decoded image"


def test_an_animation_needs_at_most_twice_its_decoded_frames_for_gif_output(tmp_path):
    for name, height, width in [("big.gif", 600, 800), ("small.gif", 16, 16)]:
        still = photo_like(height, width, 3, np.uint8)
        frames = [Image.fromarray(np.roll(still, 7 * k, axis=1)).quantize(64) for k in range(12)]
        frames[0].save(tmp_path / name, save_all=True, append_images=frames[1:], duration=50, loop=0)
    args = ["-o", "out.gif"]
    used = (peak_kib(tmp_path, "big.gif", args) - peak_kib(tmp_path, "small.gif", args)) * 1024
    decoded = 12 * 600 * 800 * 3
    assert used <= 2 * decoded, f"{used / decoded:.2f} times the decoded frames"
