"""What the installed distribution tells a package index and its users."""

import importlib.metadata
import subprocess
import sys

import palettra_tools


def test_one_version_everywhere():
    shown = subprocess.run(
        [sys.executable, "-m", "palettra_tools", "--version"], capture_output=True, text=True, timeout=60
    )
    assert (shown.returncode, shown.stdout) == (0, f"palettra {palettra_tools.__version__}\n")
    assert importlib.metadata.version("palettra") == palettra_tools.__version__


def test_the_licence_travels_with_the_package():
    distribution = importlib.metadata.distribution("palettra")
    assert distribution.metadata["License-Expression"] == "MIT"
    licence = next(file for file in distribution.files if file.name == "LICENSE")
    assert "MIT License" in licence.read_text()
