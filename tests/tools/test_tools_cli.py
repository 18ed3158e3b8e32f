import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from PIL import Image
from support.png_writer import png_bytes

import palettra
from palettra_tools import PALETTES, map_colours, read_image

RNG = np.random.default_rng(42)
PICO = PALETTES["pico-8"].colours


def palettra_command(*args, cwd, script=False):
    command = [str(Path(sys.executable).with_name("palettra"))] if script else [sys.executable, "-m", "palettra_tools"]
    return subprocess.run(command + [str(a) for a in args], cwd=cwd, capture_output=True, text=True, timeout=120)


def assert_no_traceback(done):
    assert "Traceback" not in done.stderr and "Traceback" not in done.stdout


@pytest.fixture
def images(tmp_path):
    rgb = RNG.integers(0, 256, size=(12, 9, 3), dtype=np.uint8)
    rgb[0, 0] = PICO[7]  # already a palette colour: stays as it is
    rgba = RNG.integers(0, 256, size=(7, 10, 4), dtype=np.uint8)
    Image.fromarray(rgb).save(tmp_path / "photo.png")
    Image.fromarray(rgba, "RGBA").save(tmp_path / "sprite.png")
    return {"photo": rgb, "sprite": rgba}


def test_converts_one_image_with_a_built_in_palette(tmp_path, images):
    done = palettra_command("photo.png", "--palette", "pico-8", "-o", "new/out.png", cwd=tmp_path, script=True)
    assert done.returncode == 0, done.stderr
    out = read_image(tmp_path / "new/out.png")
    assert np.array_equal(out.rgb, palettra.convert(images["photo"], PICO))
    assert done.stdout == "photo.png -> new/out.png: 107 of 108 pixels changed (99.1%)\n"
    assert done.stderr == ""


def test_batch_writes_beside_the_inputs_and_keeps_alpha(tmp_path, images):
    done = palettra_command("photo.png", "sprite.png", "-p", "gameboy", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    sprite = read_image(tmp_path / "sprite-gameboy.png")
    assert np.array_equal(sprite.alpha, images["sprite"][..., 3])
    assert np.array_equal(sprite.rgb, palettra.convert(images["sprite"], PALETTES["gameboy"].colours))
    assert (tmp_path / "photo-gameboy.png").is_file()
    assert done.stdout.splitlines()[-1] == "2 of 2 images converted"


def test_a_bad_file_fails_alone(tmp_path, images):
    (tmp_path / "notes.png").write_text("not a picture")
    done = palettra_command("notes.png", "missing.png", "photo.png", "-p", "cga", "--out-dir", "out/new", cwd=tmp_path)
    assert done.returncode == 1
    assert done.stderr.splitlines() == [
        "palettra: error: notes.png: not an image file that Pillow can read",
        "palettra: error: missing.png: cannot read: No such file or directory",
    ]
    assert sorted(p.name for p in (tmp_path / "out/new").iterdir()) == ["photo.png"]
    assert done.stdout.splitlines()[-1] == "1 of 3 images converted"
    assert_no_traceback(done)


@pytest.mark.parametrize(
    "args, message",
    [
        (["photo.png", "-p", "pico8"], "palettra: error: no palette named 'pico8' and no such file; built-in palettes: "),
        (["photo.png", "-p", "colours.gpl"], "palettra: error: colours.gpl:3: value 300 is out of range 0 to 255"),
        (["photo.png", "-p", "nowhere/x.gpl"], "palettra: error: nowhere/x.gpl: no such palette file"),
        (["photo.png"], "palettra: error: --palette NAME|FILE is required"),
        (["-p", "cga"], "palettra: error: no INPUT images given"),
        (["photo.png", "sprite.png", "-p", "cga", "-o", "x.png"], "palettra: error: -o names one output, but there are 2 inputs"),
        (["photo.png", "-p", "cga", "-o", "x.jpg"], "palettra: error: x.jpg: the output is written as PNG"),
        (["photo.png", "-p", "cga", "-o", "photo.png"], "palettra: error: photo.png: the output would overwrite an input"),
        (["photo.png", "a/photo.png", "-p", "cga", "--out-dir", "o"], "palettra: error: photo.png and a/photo.png would both be written"),
        (["photo.png", "-p", "big.hex", "--indexed"], "palettra: error: --indexed needs a palette of at most 256 colours; this one has 300"),
        (["photo.png", "-p", "cga", "--metric", "hsv"], "palettra: error: argument --metric: invalid choice: 'hsv'"),
    ],
)
def test_command_mistakes_exit_2_with_a_message(tmp_path, images, args, message):
    (tmp_path / "colours.gpl").write_text("GIMP Palette\n1 2 3\n4 300 6\n")
    (tmp_path / "big.hex").write_text("".join(f"{i:06x}\n" for i in range(300)))
    done = palettra_command(*args, cwd=tmp_path)
    assert done.returncode == 2
    assert message in done.stderr
    assert_no_traceback(done)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["big.hex", "colours.gpl", "photo.png", "sprite.png"]


def test_palette_files_and_indexed_output(tmp_path, images):
    (tmp_path / "mine.pal").write_text("JASC-PAL\r\n0100\r\n3\r\n0 0 0\r\n255 255 255\r\n200 30 30\r\n")
    done = palettra_command("sprite.png", "-p", "mine.pal", "--indexed", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    with Image.open(tmp_path / "sprite-mine.png") as image:
        assert image.mode == "P"
        assert image.getpalette()[:9] == [0, 0, 0, 255, 255, 255, 200, 30, 30]
    out = read_image(tmp_path / "sprite-mine.png")
    assert np.array_equal(out.alpha, images["sprite"][..., 3])
    palette = np.array([[0, 0, 0], [255, 255, 255], [200, 30, 30]], dtype=np.uint64)
    assert np.array_equal(out.rgb, palettra.convert(images["sprite"], palette))


def test_16_bit_images_stay_16_bit(tmp_path):
    samples = RNG.integers(0, 65536, size=(5, 6, 4), dtype=np.uint16)
    (tmp_path / "deep.png").write_bytes(png_bytes(samples, 16, (4,)))
    done = palettra_command("deep.png", "-p", "ega", "-o", "deep-out.png", "--metric", "lab", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    out = read_image(tmp_path / "deep-out.png")
    assert out.bits == 16 and np.array_equal(out.alpha, samples[..., 3])
    ega16 = PALETTES["ega"].colours * np.uint64(257)
    assert np.array_equal(out.rgb, map_colours(samples, ega16, metric="lab", bits=16))


def test_progress_bar_and_determinism(tmp_path, images):
    first = palettra_command("photo.png", "-p", "web-safe", "-o", "a.png", "--progress", cwd=tmp_path)
    second = palettra_command("photo.png", "-p", "web-safe", "-o", "b.png", "-q", cwd=tmp_path)
    assert first.returncode == second.returncode == 0
    assert first.stderr.endswith("photo.png [##############################] 100%\n")
    assert second.stdout == "" and second.stderr == ""
    assert (tmp_path / "a.png").read_bytes() == (tmp_path / "b.png").read_bytes()


def test_list_palettes(tmp_path):
    done = palettra_command("--list-palettes", cwd=tmp_path)
    assert done.returncode == 0
    names = [line.split()[0] for line in done.stdout.splitlines() if not line.startswith(" ")]
    assert names == list(PALETTES)
    assert "pico-8      16 colours  the 16 colours of a fantasy console" in done.stdout and "source: " in done.stdout
