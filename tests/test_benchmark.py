"""The benchmark keeps working: it runs on tiny inputs here, untimed."""

import importlib.util
import os
import pathlib
import subprocess
import sys

import pytest

# The scripts, not the build: any fault of the modules shows in their own tests.
pytestmark = pytest.mark.source_only

BENCH = pathlib.Path(__file__).resolve().parent.parent / "bench"
TOOLS = ["palettra", "palettra, item access", "NumPy reference", "cKDTree", "Pillow quantize", "memory floor"]


def run_bench(script, *arguments):
    """The standard output of bench/`script` run with `arguments`, which must succeed."""
    done = subprocess.run(
        [sys.executable, "-W", "error", str(BENCH / script), *arguments],
        capture_output=True,
        text=True,
        timeout=600,
        # Under the sanitizers, what the interpreter keeps of SciPy's and
        # Pillow's imports at exit is no finding of these tests.
        env={**os.environ, "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"},
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_benchmark_runs_every_tool_on_tiny_images():
    output = run_bench("benchmark.py", "--size", "12", "--repeat", "1", "--colours", "4", "300")
    lines = output.splitlines()
    assert lines[0].startswith("Machine: ")
    assert sum(line.startswith("### ") for line in lines) == 5
    # The adversarial inputs are timed against the plain scan, which only the
    # test environments build.
    adversarial = [line.split(" | ") for line in lines if line.startswith(("| clustered", "| uniform"))]
    if importlib.util.find_spec("_palettra_testing") is None:
        assert not adversarial and "the plain scan comes with the test-only module" in output
    else:
        assert len(adversarial) == 7 and all(float(row[4]) > 0 for row in adversarial)
    rows = [line.split(" | ") for line in lines if line.startswith("| 4 |") or line.startswith("| 300 |")]
    tools = {row[1] for row in rows}
    assert tools == set(TOOLS)
    # palettra is exact, and its ratio to itself is one.
    for row in rows:
        if row[1] == "palettra":
            assert row[4] == "1.00" and row[5] == "0.00% |"
    # Pillow only takes 8-bit images and palettes of at most 256 colours.
    pillow = [row for row in rows if row[1] == "Pillow quantize"]
    assert len(pillow) == 2 and all(row[0] == "| 4" for row in pillow)
    assert "disagreed" not in output


def test_dithering_benchmark_runs_on_a_tiny_image():
    output = run_bench("dithering_benchmark.py", "--size", "16", "--repeat", "1", "--colours", "4", "300")
    rows = [line.split(" | ") for line in output.splitlines() if line.startswith(("| 4 |", "| 300 |"))]
    exact = [row for row in rows if row[2] == "palettra indices"]
    assert [row[5] for row in exact] == ["0.00% |", "0.00% |"]
    # Pillow's quantize takes at most 256 colours.
    assert {row[0] for row in rows if row[2] == "Pillow quantize"} == {"| 4"}
    assert "| bayer8 ≤ 2× indices, 16 colours | not measured | |" in output
    assert "Two images on two threads take " in output


def test_index_map_benchmark_runs_on_a_tiny_image():
    output = run_bench("index_map_benchmark.py", "--size", "16", "--repeat", "1", "--colours", "4", "300")
    rows = [line.split(" | ") for line in output.splitlines() if line.startswith(("| photo |", "| pixel art |"))]
    assert len(rows) == 2 * (7 + 6)  # Pillow's quantize takes at most 256 colours
    assert "| convert ≤ 1.25× floor, pixel art, 300 colours |" in output
    assert "Control: two NumPy sorts side by side take " in output


def test_palette_benchmark_runs_on_tiny_images():
    output = run_bench("palette_benchmark.py", "--sizes", "24", "--colours", "4", "--repeat", "1")
    rows = [line.split(" | ") for line in output.splitlines() if line.startswith(("| photo 24×24", "| textured 24×24"))]
    assert len(rows) == 2
    # Every palette is judged by one error measure: a number for each tool that ran.
    assert all(float(row[2]) >= 0 for row in rows)
    assert "Peak memory of make_palette beyond the image, 24×24" in output


def test_the_look_benchmark_measures_every_method_on_tiny_pictures():
    output = run_bench("look_benchmark.py", "--size", "16")
    lines = output.splitlines()
    rows = [line.split(" | ") for line in lines if line.startswith("| palettra ")]
    # 11 methods in two lights and Lab matching on three fixed palettes, 12 ways with made palettes.
    assert len(rows) == 3 * 23 + 12
    assert all(float(row[1]) >= 0 and float(row[2]) >= 0 for row in rows)
    assert "| target | mean ratio | worst picture | met |" in output
