"""Error diffusion shared out over threads, a row each, as a wavefront: the
map is the one thread's map for every count, shape and layout."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from palettra_tools import PALETTES, cli, dither, dithering
from palettra_tools.dithering import ERROR_DIFFUSION
from palettra_tools.mapping import as_picture, index_picture

RNG = np.random.default_rng(29)

# Heights below the largest count, widths down to one pixel, one image
# read backwards through a channel-shuffled view.
SHAPES = [(5, 1), (9, 2), (4, 3), (13, 37), (6, 101), "strided"]


@pytest.fixture
def every_row_a_lane(monkeypatch):
    """Lifts the floor that keeps small images on the calling thread, so
    that these small cases run on as many lanes as they have rows."""
    monkeypatch.setattr("palettra_tools.threads.LEAST_BAND_PIXELS", 1)


def noisy_image(shape, bits):
    top = (1 << bits) - 1
    if shape == "strided":
        whole = RNG.integers(0, top, (18, 61, 4), endpoint=True, dtype=np.uint16 if bits == 16 else np.uint8)
        return whole[::2, ::-3, [2, 0, 3]]
    ramp = np.linspace(0, top, shape[1])[None, :, None]
    noise = RNG.integers(-top // 4, top // 4, (*shape, 3), endpoint=True)
    return np.clip(ramp + noise, 0, top).astype(np.uint16 if bits == 16 else np.uint8)


@pytest.mark.usefixtures("every_row_a_lane")
@pytest.mark.parametrize("bits", [8, 16])
@pytest.mark.parametrize("serpentine", [False, True])
@pytest.mark.parametrize("light, metric", [("srgb", "rgb"), ("srgb", "lab"), ("linear", "rgb"), ("linear", "lab")])
@pytest.mark.parametrize("method", ERROR_DIFFUSION)
def test_every_thread_count_gives_the_one_thread_map(method, light, metric, serpentine, bits):
    palette = PALETTES["pico-8"].colours * np.uint64(257 if bits == 16 else 1)
    for shape in SHAPES:
        image = noisy_image(shape, bits)
        options = {"serpentine": serpentine, "metric": metric, "light": light}
        alone = dither(image, palette, method, threads=1, **options)
        for count in (2, 3, 7):
            shared = dither(image, palette, method, threads=count, **options)
            assert np.array_equal(shared, alone), f"{shape}, {count} threads"


def test_a_wide_image_on_many_lanes_gives_the_one_thread_map():
    # Rows long enough that every lane runs well ahead of the next, with
    # the floor in force, on more lanes than the machine has cores.
    image = RNG.integers(0, 256, (96, 1500, 3), dtype=np.uint8)
    palette = RNG.integers(0, 256, (256, 3)).astype(np.uint64)
    alone = dither(image, palette, "jarvis-judice-ninke", light="srgb", threads=1)
    assert np.array_equal(dither(image, palette, "jarvis-judice-ninke", light="srgb", threads=5), alone)


@pytest.fixture
def engine_calls(monkeypatch, every_row_a_lane):
    """The thread count of every call of the engine's error diffusion."""
    counts = []
    diffuse = dithering._engine.diffuse

    def counted(*args):
        counts.append(args[-1])
        return diffuse(*args)

    monkeypatch.setattr(dithering._engine, "diffuse", counted)
    return counts


def test_the_count_reaches_the_engine_through_index_picture(engine_calls):
    picture = as_picture(RNG.integers(0, 256, (8, 5, 3), dtype=np.uint8))
    index_picture(picture, PALETTES["cga"].colours, dither="sierra", threads=3)
    assert engine_calls == [3]


def test_the_command_hands_its_thread_count_to_error_diffusion(engine_calls, tmp_path, monkeypatch):
    from PIL import Image

    Image.fromarray(RNG.integers(0, 256, (6, 4, 3), dtype=np.uint8)).save(tmp_path / "photo.png")
    monkeypatch.chdir(tmp_path)
    assert cli.main(["photo.png", "-p", "cga", "--dither", "atkinson", "--threads", "4", "-o", "out.png"]) == 0
    assert engine_calls == [4]


def test_lanes_whose_threads_cannot_start_are_run_by_the_calling_thread(testing):
    # The switch fails this module's allocations from a position on; a
    # thread's start allocates its state last of all, so failing the last
    # `lanes - 1` allocations leaves the calling thread with every row.
    image = RNG.integers(0, 256, (40, 33, 3), dtype=np.uint8)
    palette = RNG.integers(0, 256, (12, 3)).astype(np.uint64)
    arguments = (image, palette, "stucki", False, 4096, 255, False, None, 0)
    alone = np.zeros(image.shape[:2], np.uint8)
    testing.diffuse(*arguments[:2], alone, *arguments[2:], 1)
    for lanes in (2, 5):
        testing.fail_allocations(1 << 40, 0)
        testing.diffuse(*arguments[:2], np.zeros_like(alone), *arguments[2:], lanes)
        needed = testing.allow_allocations()
        out = np.zeros_like(alone)
        first_failing = needed - (lanes - 1)
        testing.fail_allocations(first_failing, 0)
        try:
            testing.diffuse(*arguments[:2], out, *arguments[2:], lanes)
        finally:
            tried = testing.allow_allocations()
        assert tried > first_failing and np.array_equal(out, alone)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc for the address space in use")
@pytest.mark.skipif(bool(os.environ.get("PALETTRA_SANITIZED")), reason="the sanitizers reserve address space")
def test_without_address_space_for_thread_stacks_the_calling_thread_does_all_rows():
    # A thread's stack is mapped when it starts, as large as the stack limit
    # the process started with; with no room left for one, the system
    # refuses the thread, and the call must still give the map.
    script = textwrap.dedent(
        """
        import resource
        import threading
        import numpy as np
        from palettra_tools import _engine

        image = np.random.default_rng(3).integers(0, 256, (64, 200, 3), dtype=np.uint8)
        palette = np.random.default_rng(4).integers(0, 256, (16, 3)).astype(np.uint64)
        alone, shared = np.zeros((2, 64, 200), np.uint8)
        arguments = ("floyd-steinberg", False, 4096, 255, False, None, 0)
        _engine.diffuse(image, palette, alone, *arguments, 1)
        with open("/proc/self/statm") as statm:
            used = int(statm.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + (256 << 20), resource.RLIM_INFINITY))
        _engine.diffuse(image, palette, shared, *arguments, 4)
        try:
            threading.Thread(target=print).start()
        except RuntimeError:
            print("no thread", np.array_equal(alone, shared))
        """
    )
    # The stack limit is read when the process starts, so a first
    # interpreter sets it and becomes the second; no shell, which a bare
    # PATH may lack.
    start = (
        "import os, resource, sys; "
        "resource.setrlimit(resource.RLIMIT_STACK, (1 << 30, resource.getrlimit(resource.RLIMIT_STACK)[1])); "
        "os.execv(sys.executable, [sys.executable, '-c', sys.argv[1]])"
    )
    command = [sys.executable, "-c", start, script]
    done = subprocess.run(command, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "no thread True\n"
