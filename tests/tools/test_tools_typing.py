import re
import subprocess
import sys

import pytest

pytest.importorskip("mypy")
pytestmark = pytest.mark.source_only

# Lines marked "# wrong" fail at run time; mypy must flag exactly those.
CALLS = """\
import numpy as np
import palettra
import palettra_tools as pt
from palettra_tools.chunked import convert_dask
from PIL import Image

palette = np.zeros((2, 3), np.uint64)
pixels = np.zeros((2, 2, 3), np.uint8)
floats = np.zeros((2, 2, 3), np.float32)
palettra.convert(pixels, palette)
palettra.convert(floats, palette)  # wrong
pt.map_colours(pixels, palette, metric="lab")
pt.map_colours(pixels, palette, metric="hsv")  # wrong
pt.convert_in_bands(floats, palette)  # wrong
convert_dask(pixels, palette, metric="rgb").compute()
convert_dask(pixels, palette, metric="cie")  # wrong
pt.quantize(Image.new("RGB", (2, 2)), palette).save("x.png")
pt.quantize(floats, palette)  # wrong
pt.indices([[(0, 0, 0)]], palette)  # wrong
"""


def mypy(tmp_path, *targets):
    command = [sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path / "cache"), *targets]
    return subprocess.run(command, cwd=tmp_path, capture_output=True, text=True, timeout=300)


def test_mypy_flags_what_fails_at_run_time_and_the_package_checks_strictly(tmp_path):
    package = mypy(tmp_path, "--strict", "-p", "palettra_tools")
    assert package.returncode == 0, package.stdout
    (tmp_path / "calls.py").write_text(CALLS)
    calls = mypy(tmp_path, "calls.py")
    flagged = {int(n) for n in re.findall(r"^calls\.py:(\d+): error", calls.stdout, re.M)}
    wrong = {n for n, line in enumerate(CALLS.splitlines(), start=1) if line.endswith("# wrong")}
    assert flagged == wrong, calls.stdout
    assert len(re.findall(r": error", calls.stdout)) == len(wrong), calls.stdout
