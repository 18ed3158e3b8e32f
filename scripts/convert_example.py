"""Maps every pixel of a picture to the nearest colour of a palette file.

Usage: convert_example.py [IMAGE [PALETTE [OUTPUT]]]
Defaults: examples/landscape.png, examples/palette.txt, out/example-converted.png.

The palette file holds one colour a line as "#rrggbb", optionally followed by
a name; blank lines and lines starting with "# " are ignored.
"""

import pathlib
import re
import sys

import numpy as np
from PIL import Image

import palettra

ROOT = pathlib.Path(__file__).resolve().parent.parent
DEFAULTS = (
    ROOT / "examples" / "landscape.png",
    ROOT / "examples" / "palette.txt",
    ROOT / "out" / "example-converted.png",
)
COLOUR = re.compile(r"#([0-9a-fA-F]{6})(?:\s.*)?")


def read_palette(path):
    """The colours of a palette file as an (n, 3) uint64 array."""
    colours = []
    for number, line in enumerate(pathlib.Path(path).read_text().splitlines(), 1):
        line = line.strip()
        if not line or line.startswith("# "):
            continue
        match = COLOUR.fullmatch(line)
        if match is None:
            raise ValueError(f"{path}:{number}: not a colour: {line!r}")
        colours.append(bytes.fromhex(match[1]))
    return np.array([list(colour) for colour in colours], dtype=np.uint64).reshape(-1, 3)


def convert_file(image_path, palette_path, output_path):
    """Writes the converted picture as a PNG and gives the converted array."""
    with Image.open(image_path) as image:
        pixels = np.asarray(image.convert("RGB"))
    converted = palettra.convert(pixels, read_palette(palette_path))
    output_path = pathlib.Path(output_path)
    output_path.parent.mkdir(parents=True, exist_ok=True)
    # Every value is a palette entry read from two hex digits, so it fits a byte.
    Image.fromarray(converted.astype(np.uint8), "RGB").save(output_path)
    return converted


def main(argv):
    if len(argv) > 4:
        sys.exit(__doc__)
    image_path, palette_path, output_path = (*argv[1:], *DEFAULTS[len(argv) - 1:])
    convert_file(image_path, palette_path, output_path)
    print(f"wrote {pathlib.Path(output_path).resolve()}")


if __name__ == "__main__":
    main(sys.argv)
