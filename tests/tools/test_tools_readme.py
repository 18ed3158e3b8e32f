import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

from palettra_tools import read_image

ROOT = Path(__file__).parents[2]
README = (ROOT / "README.md").read_text()
DOCUMENTS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
COMMAND_PAGE = (ROOT / "docs" / "command.md").read_text()


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
    targets = (re.findall(r'<img src="([^"]+)"', README) + re.findall(r"\]\(([^)#]+)", README)
               + re.findall(r"`((?:python|docs|examples|scripts)/[^`]+)`", README))  # fmt: skip
    assert {"examples/landscape.png", "docs/landscape-converted.png", "docs/command.md"} <= set(targets)
    assert [t for t in targets if not (ROOT / t).exists()] == []


def blocks(language):
    """Every fenced block of this language in the README and the docs pages, with where it is."""
    for page in DOCUMENTS:
        for number, block in enumerate(re.findall(rf"```{language}\n(.*?)```", page.read_text(), re.S)):
            yield pytest.param(block, id=f"{page.relative_to(ROOT)}-{number}")


@pytest.fixture
def sandbox(tmp_path):
    """A folder holding the files that the documents' examples name, and a `palettra` command."""
    shutil.copytree(ROOT / "examples", tmp_path / "examples")
    landscape = Image.open(ROOT / "examples" / "landscape.png")
    landscape.save(tmp_path / "photo.jpg")
    for name in ["photo.png", "art.png", "shots/a.png", "shots/b.png", "frames/1.png", "frames/2.png"]:
        (tmp_path / name).parent.mkdir(exist_ok=True)
        landscape.rotate(90 * len(name), expand=True).save(tmp_path / name)
    turns = [landscape, landscape.rotate(180), landscape.transpose(Image.Transpose.FLIP_LEFT_RIGHT)]
    turns[0].save(tmp_path / "anim.gif", save_all=True, append_images=turns[1:], duration=[80, 120, 200], loop=0)
    shutil.copy(ROOT / "docs/gallery/landscape-16-colours.gpl", tmp_path / "my-colours.gpl")
    (tmp_path / "bin").mkdir()
    (tmp_path / "bin/palettra").write_text(f'#!/bin/sh\nexec "{sys.executable}" -m palettra_tools "$@"\n')
    (tmp_path / "bin/palettra").chmod(0o755)
    return tmp_path


@pytest.mark.parametrize("commands", [
    pytest.param(lines, id=block.id) for block in blocks("sh")
    if (lines := [line for line in block.values[0].splitlines() if line.startswith("palettra ")])
])  # fmt: skip
def test_every_command_shown_runs(sandbox, commands):
    environment = {**os.environ, "PATH": f"{sandbox / 'bin'}{os.pathsep}{os.environ['PATH']}"}
    for line in commands:
        done = subprocess.run(line, shell=True, cwd=sandbox, env=environment, capture_output=True, text=True,
                              timeout=120)  # fmt: skip
        assert done.returncode == 0, f"{line}\n{done.stderr}"


@pytest.mark.parametrize("block", list(blocks("python")))
def test_every_python_snippet_runs_as_a_script(sandbox, block):
    if "dask" in block and os.environ.get("PALETTRA_SANITIZED"):
        pytest.skip("under the sanitizers the interpreter reports its own thread records as leaks, and workers stop "
                    "too slowly")  # fmt: skip
    (sandbox / "snippet.py").write_text(block)
    done = subprocess.run([sys.executable, "snippet.py"], cwd=sandbox, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert not re.search(r"error|exception|traceback", done.stderr, re.I), done.stderr
    # Figures that a page quotes from its snippet are checked, not copied.
    if printed := re.findall(r"# prints (.*)$", block, re.M):
        assert done.stdout.splitlines() == printed


def run_command(*args):
    done = subprocess.run([sys.executable, "-m", "palettra_tools", *map(str, args)], cwd=ROOT, capture_output=True,
                          text=True, timeout=120)  # fmt: skip
    assert done.returncode == 0, done.stderr


@pytest.mark.parametrize("colours", [8, 16])
@pytest.mark.parametrize("method", ["none", "floyd-steinberg"])
def test_the_generated_palette_gallery_is_what_the_command_makes(tmp_path, colours, method):
    committed = f"docs/gallery/landscape-{colours}-colours-{method}.png"
    assert f"]({committed.removeprefix('docs/')})" in COMMAND_PAGE
    run_command("examples/landscape.png", "--colours", colours, "--dither", method, "-o", tmp_path / "made.png")
    assert np.array_equal(read_image(tmp_path / "made.png").rgb, read_image(ROOT / committed).rgb)


def test_the_swatch_sheet_is_what_the_command_makes(tmp_path):
    sheet = "docs/gallery/landscape-16-colours-swatches.png"
    assert f"]({sheet.removeprefix('docs/')})" in COMMAND_PAGE
    run_command("examples/landscape.png", "--colours", "16", "--save-palette", tmp_path / "landscape-16-colours.gpl",
                "-o", tmp_path / "made.png")  # fmt: skip
    saved = tmp_path / "landscape-16-colours.gpl"
    assert saved.read_text() == (ROOT / "docs/gallery/landscape-16-colours.gpl").read_text()
    run_command("--show-palette", saved, "-o", tmp_path / "sheet.png")
    assert np.array_equal(read_image(tmp_path / "sheet.png").rgb, read_image(ROOT / sheet).rgb)


@pytest.mark.parametrize("method", ["none", "floyd-steinberg", "atkinson", "bayer8"])
def test_the_gallery_is_what_the_command_makes(tmp_path, method):
    committed = f"docs/gallery/landscape-pico-8-{method}.png"
    assert f"]({committed.removeprefix('docs/')})" in COMMAND_PAGE
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
    assert f'<img src="docs/{committed}"' in README
    method = "blue-noise" if picture == "blue-noise" else "floyd-steinberg"
    run_command("examples/landscape.png", "-p", "pico-8", "--dither", method, *options, "-o", tmp_path / "made.png")
    assert np.array_equal(read_image(tmp_path / "made.png").rgb, read_image(ROOT / "docs" / committed).rgb)
