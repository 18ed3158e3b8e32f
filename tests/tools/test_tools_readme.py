import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from palettra_tools import read_image

ROOT = Path(__file__).parents[2]
README = (ROOT / "README.md").read_text()


def test_the_committed_after_picture_is_what_the_command_makes(tmp_path):
    # The command line of scripts/example.sh.
    done = subprocess.run(
        [sys.executable, "-m", "palettra_tools", "examples/landscape.png", "--palette", "examples/palette.txt",
         "-o", str(tmp_path / "converted.png")],
        cwd=ROOT, capture_output=True, text=True, timeout=120,
    )
    assert done.returncode == 0, done.stderr
    made, committed = read_image(tmp_path / "converted.png"), read_image(ROOT / "docs" / "landscape-converted.png")
    assert made.bits == committed.bits == 8 and made.alpha is None and committed.alpha is None
    assert np.array_equal(made.rgb, committed.rgb)


def test_readme_links_to_files_that_exist():
    targets = re.findall(r'<img src="([^"]+)"', README) + re.findall(r"`((?:python|docs|examples|scripts)/[^`]+)`", README)
    assert {"examples/landscape.png", "docs/landscape-converted.png", "python/palettra_tools/lab.py"} <= set(targets)
    assert [t for t in targets if not (ROOT / t).exists()] == []


@pytest.mark.skipif(
    bool(os.environ.get("PALETTRA_SANITIZED")),
    reason="under the sanitizers the interpreter reports its own thread records as leaks, and workers stop too slowly",
)
def test_the_dask_example_runs_as_a_script(tmp_path):
    (block,) = [b for b in re.findall(r"```python\n(.*?)```", README, re.S) if "convert_dask" in b]
    script = tmp_path / "example.py"
    script.write_text(block)
    done = subprocess.run([sys.executable, str(script)], cwd=ROOT, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "(96, 128, 3) uint64\n"
    assert not re.search(r"error|exception|traceback", done.stderr, re.I), done.stderr


def run_command(*args):
    done = subprocess.run([sys.executable, "-m", "palettra_tools", *map(str, args)], cwd=ROOT, capture_output=True,
                          text=True, timeout=120)  # fmt: skip
    assert done.returncode == 0, done.stderr


@pytest.mark.parametrize("colours", [8, 16])
@pytest.mark.parametrize("method", ["none", "floyd-steinberg"])
def test_the_generated_palette_gallery_is_what_the_command_makes(tmp_path, colours, method):
    committed = f"docs/gallery/landscape-{colours}-colours-{method}.png"
    assert f'<img src="{committed}"' in README
    run_command("examples/landscape.png", "--colours", colours, "--dither", method, "-o", tmp_path / "made.png")
    assert np.array_equal(read_image(tmp_path / "made.png").rgb, read_image(ROOT / committed).rgb)


def test_the_swatch_sheet_is_what_the_command_makes(tmp_path):
    sheet = "docs/gallery/landscape-16-colours-swatches.png"
    assert f'<img src="{sheet}"' in README
    run_command("examples/landscape.png", "--colours", "16", "--save-palette", tmp_path / "landscape-16-colours.gpl",
                "-o", tmp_path / "made.png")  # fmt: skip
    saved = tmp_path / "landscape-16-colours.gpl"
    assert saved.read_text() == (ROOT / "docs/gallery/landscape-16-colours.gpl").read_text()
    run_command("--show-palette", saved, "-o", tmp_path / "sheet.png")
    assert np.array_equal(read_image(tmp_path / "sheet.png").rgb, read_image(ROOT / sheet).rgb)


@pytest.mark.parametrize("method", ["none", "floyd-steinberg", "atkinson", "bayer8"])
def test_the_gallery_is_what_the_command_makes(tmp_path, method):
    committed = f"docs/gallery/landscape-pico-8-{method}.png"
    assert f'<img src="{committed}"' in README
    done = subprocess.run(
        [sys.executable, "-m", "palettra_tools", "examples/landscape.png", "-p", "pico-8", "--dither", method,
         "-o", str(tmp_path / "made.png")],
        cwd=ROOT, capture_output=True, text=True, timeout=120,
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    assert np.array_equal(read_image(tmp_path / "made.png").rgb, read_image(ROOT / committed).rgb)


@pytest.mark.parametrize(
    "picture, options",
    [("floyd-steinberg-srgb", ["--light", "srgb"]), ("floyd-steinberg-linear", ["--light", "linear"]), ("blue-noise", [])],
)
def test_the_light_gallery_is_what_the_command_makes(tmp_path, picture, options):
    committed = f"gallery/landscape-pico-8-{picture}.png"
    assert f"({committed})" in (ROOT / "docs" / "dithering.md").read_text()
    method = "blue-noise" if picture == "blue-noise" else "floyd-steinberg"
    run_command("examples/landscape.png", "-p", "pico-8", "--dither", method, *options, "-o", tmp_path / "made.png")
    assert np.array_equal(read_image(tmp_path / "made.png").rgb, read_image(ROOT / "docs" / committed).rgb)
