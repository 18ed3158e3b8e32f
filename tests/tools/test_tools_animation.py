import subprocess
import sys

import numpy as np
import pytest
from PIL import Image, ImageSequence

from palettra_tools import dither, make_palette, read_palette
from palettra_tools.animation import Animation, read_frames, write_frames

DURATIONS = [40, 70, 120]
# Each format's own numbers for "clear the frame's area before the next".
CLEARED = {".gif": ("disposal_method", 2), ".png": ("disposal", 1)}


def drawn_frames():
    """Three frames of a dozen colours, each with a transparent row of its own."""
    rng = np.random.default_rng(23)
    colours = rng.integers(0, 256, (12, 3), dtype=np.uint8)
    frames = []
    for k in range(3):
        rgba = np.concatenate([colours[rng.integers(0, 12, (10, 14))], np.full((10, 14, 1), 255, np.uint8)], axis=2)
        rgba[3 * k, :, 3] = 0
        frames.append(rgba)
    return frames


def save_animation(path, loop):
    images = [Image.fromarray(frame, "RGBA") for frame in drawn_frames()]
    extra = {"lossless": True} if path.suffix == ".webp" else {"disposal": CLEARED[path.suffix][1]}
    images[0].save(path, save_all=True, append_images=images[1:], duration=DURATIONS, loop=loop, **extra)


def pillow_frames(path):
    """Pillow's own decoding: every frame as RGBA, the durations, the loop count."""
    with Image.open(path) as image:
        frames = [(np.asarray(frame.convert("RGBA")), frame.info["duration"]) for frame in ImageSequence.Iterator(image)]
        return [f for f, _ in frames], [round(d) for _, d in frames], image.info.get("loop")


@pytest.mark.parametrize("source, target, loop, loop_out", [
    ("in.gif", "out.gif", 2, 2), ("in.png", "out.png", 0, 0), ("in.webp", "out.webp", 3, 3),
    # A GIF's count is of repeats, an APNG's of plays.
    ("in.gif", "out.png", 2, 3), ("in.png", "out.gif", 0, 0),
])  # fmt: skip
def test_every_frame_is_mapped_to_one_palette_and_keeps_its_timing(tmp_path, source, target, loop, loop_out):
    save_animation(tmp_path / source, loop)
    command = [sys.executable, "-m", "palettra_tools", source, "--colours", "6", "--dither", "floyd-steinberg",
               "--save-palette", "made.hex", "-o", target]  # fmt: skip
    done = subprocess.run(command, cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "(3 frames)" in done.stdout
    frames = read_frames(tmp_path / source).frames
    made = make_palette([frame.picture for frame in frames], 6)
    assert np.array_equal(read_palette(tmp_path / "made.hex"), made)
    written, durations, written_loop = pillow_frames(tmp_path / target)
    assert durations == DURATIONS and written_loop == loop_out
    assert len(written) == len(frames)
    for frame, out in zip(frames, written):
        shown = frame.picture.alpha != 0
        assert np.array_equal(out[..., 3], frame.picture.alpha)
        # Diffused frame by frame, in one palette.
        assert np.array_equal(out[..., :3][shown], made[dither(frame.picture.rgb, made)][shown])

    first = subprocess.run(command[:-1] + ["first.png", "--first-frame"], cwd=tmp_path, capture_output=True, timeout=120)
    assert first.returncode == 0
    with Image.open(tmp_path / "first.png") as image:
        assert getattr(image, "n_frames", 1) == 1


@pytest.mark.parametrize("suffix", [".gif", ".png"])
def test_frames_read_and_written_keep_disposal_durations_and_plays(tmp_path, suffix):
    save_animation(tmp_path / f"in{suffix}", 0)
    animation = read_frames(tmp_path / f"in{suffix}")
    assert [(f.duration, f.disposal) for f in animation.frames] == [(d, "background") for d in DURATIONS]
    assert animation.plays == 0
    # Every colour, even under transparent pixels, so that each has its entry.
    palette = np.unique(np.concatenate([f.picture.rgb.reshape(-1, 3) for f in animation.frames]), axis=0)
    out = tmp_path / f"out{suffix}"
    write_frames(out, Animation(animation.frames, plays=5), palette if suffix == ".gif" else None)
    attribute, cleared = CLEARED[suffix]
    with Image.open(out) as image:
        seen = []
        for frame in ImageSequence.Iterator(image):
            seen.append(getattr(frame, attribute, None) if suffix == ".gif" else frame.info.get(attribute))
        # A GIF counts repeats after the first play.
        assert seen == [cleared] * 3 and image.info["loop"] == (4 if suffix == ".gif" else 5)


def test_the_pages_of_other_formats_are_not_frames(tmp_path):
    pages = [Image.new("RGB", (4, 3), colour) for colour in ("red", "blue")]
    pages[0].save(tmp_path / "pages.tiff", save_all=True, append_images=pages[1:])
    (frame,) = read_frames(tmp_path / "pages.tiff").frames
    assert np.all(frame.picture.rgb == (255, 0, 0))
