"""Checks an installed palettra the way a user meets it.

Usage: check_installed.py

Run with the interpreter of the environment to check. Both modules must come
from that environment, not from a source tree; one conversion must match a
plain NumPy reference; and the `palettra` command installed beside the
interpreter must convert the bundled example to the picture kept in docs/.
"""

import pathlib
import subprocess
import sys
import sysconfig
import tempfile

import numpy as np

import palettra
import palettra_tools

ROOT = pathlib.Path(__file__).resolve().parent.parent


def installed_here(module):
    prefix = pathlib.Path(sysconfig.get_path("platlib")).resolve()
    return pathlib.Path(module.__file__).resolve().is_relative_to(prefix)


def nearest_colours(image, palette):
    """The first nearest palette row of every pixel; exact for 8-bit values."""
    distances = ((image[:, :, np.newaxis, :].astype(np.float64) - palette.astype(np.float64)) ** 2).sum(axis=-1)
    return palette[distances.argmin(axis=-1)]


def main():
    for module in (palettra, palettra_tools):
        if not installed_here(module):
            sys.exit(f"{module.__name__} comes from {module.__file__}, not from this environment")

    rng = np.random.default_rng(14)
    image = rng.integers(0, 256, size=(61, 47, 3), dtype=np.uint8)
    palette = rng.integers(0, 256, size=(24, 3)).astype(np.uint64)
    if not np.array_equal(palettra.convert(image, palette), nearest_colours(image, palette)):
        sys.exit("palettra.convert differs from the reference")

    command = pathlib.Path(sys.executable).with_name("palettra")
    with tempfile.TemporaryDirectory() as folder:
        output = pathlib.Path(folder) / "converted.png"
        subprocess.run(
            [command, ROOT / "examples" / "landscape.png", "--palette", ROOT / "examples" / "palette.txt",
             "-o", output, "-q"],
            check=True,
        )
        made = palettra_tools.read_image(output).rgb
    if not np.array_equal(made, palettra_tools.read_image(ROOT / "docs" / "landscape-converted.png").rgb):
        sys.exit("the palettra command converted the example differently")
    print(f"palettra {palettra_tools.__version__} with NumPy {np.__version__}: imported from the environment, "
          "conversion and command as expected")


if __name__ == "__main__":
    main()
