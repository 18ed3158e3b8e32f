"""The bundled example: its picture, its palette and the script that converts them."""

import pathlib
import re
import subprocess
import sys

import numpy as np
from PIL import Image

from support.oracle import nearest_colours

ROOT = pathlib.Path(__file__).resolve().parent.parent
PICTURE = ROOT / "examples" / "landscape.png"
PALETTE = ROOT / "examples" / "palette.txt"


def run_script(name, *arguments):
    completed = subprocess.run(
        [sys.executable, str(ROOT / "scripts" / name), *map(str, arguments)],
        capture_output=True, text=True, timeout=120,
    )
    assert completed.returncode == 0, completed.stderr
    return completed.stdout


def pixels(path):
    with Image.open(path) as image:
        assert image.mode == "RGB"
        return np.asarray(image)


def palette_colours():
    found = re.findall(r"^#([0-9a-fA-F]{6})\b", PALETTE.read_text(), re.MULTILINE)
    return np.array([list(bytes.fromhex(colour)) for colour in found], np.uint64)


def test_bundled_files():
    assert pixels(PICTURE).shape == (96, 128, 3)
    colours = palette_colours()
    assert len(np.unique(colours, axis=0)) == len(colours) == 16


def test_picture_is_what_its_generator_draws(tmp_path):
    run_script("make_example_image.py", tmp_path / "drawn.png")
    assert np.array_equal(pixels(tmp_path / "drawn.png"), pixels(PICTURE))


def test_conversion_writes_the_nearest_colours(tmp_path):
    output = tmp_path / "nested" / "converted.png"
    printed = run_script("convert_example.py", PICTURE, PALETTE, output)
    assert printed == f"wrote {output}\n"
    converted = pixels(output)
    expected = nearest_colours(pixels(PICTURE), palette_colours())
    assert np.array_equal(converted, expected)
    # A palette that suits the picture: most of its colours are used.
    assert len(np.unique(converted.reshape(-1, 3), axis=0)) >= 10


def test_bad_palette_line_is_reported(tmp_path):
    palette = tmp_path / "palette.txt"
    palette.write_text("#000000\nfff\n")
    completed = subprocess.run(
        [sys.executable, str(ROOT / "scripts" / "convert_example.py"), str(PICTURE), str(palette),
         str(tmp_path / "out.png")],
        capture_output=True, text=True, timeout=120,
    )
    assert completed.returncode != 0
    assert f"{palette}:2: not a colour: 'fff'" in completed.stderr
    assert not (tmp_path / "out.png").exists()
