"""Draws the bundled example picture: a small landscape of smooth gradients.

Usage: make_example_image.py [OUTPUT]   (default: examples/landscape.png)

The picture is computed, not photographed, so it can be made again exactly;
its soft gradients are what a small palette has to approximate.
"""

import pathlib
import sys

import numpy as np
from PIL import Image

WIDTH, HEIGHT = 128, 96
ROOT = pathlib.Path(__file__).resolve().parent.parent


def blend(a, b, t):
    """Linear mix of two RGB colours by the weights t (0 gives a, 1 gives b)."""
    t = np.clip(t, 0.0, 1.0)[..., np.newaxis]
    return (1.0 - t) * np.asarray(a, float) + t * np.asarray(b, float)


def landscape():
    y, x = np.mgrid[0:HEIGHT, 0:WIDTH].astype(float)
    horizon = 58.0

    # Sky from deep blue overhead to a warm haze at the horizon, with a sun.
    picture = blend((38, 70, 140), (250, 196, 140), (y / horizon) ** 1.6)
    sun_distance = np.hypot(x - 92.0, y - 40.0)
    picture = blend(picture, (255, 236, 170), np.exp(-((sun_distance / 14.0) ** 2)))
    picture[sun_distance < 6.5] = (255, 250, 225)

    # Far mountains, hazy blue, then near hills in greens darkening downwards.
    ridge = 44.0 + 6.0 * np.sin(x / 9.0) + 3.0 * np.sin(x / 3.7 + 1.0)
    mountains = (y >= ridge) & (y < horizon)
    picture[mountains] = blend((96, 110, 150), (140, 150, 175), (y - ridge) / 14.0)[mountains]
    hill_line = 52.0 + 5.0 * np.sin(x / 14.0 + 2.0)
    hills = (y >= hill_line) & (y < 72)
    picture[hills] = blend((110, 160, 70), (40, 90, 45), (y - hill_line) / 20.0)[hills]

    # A lake that mirrors the sky's colours, darker and rippled.
    shore = 72
    lake = y >= shore
    mirrored = np.clip(2 * shore - y + 1.5 * np.sin(x / 2.5 + y), 0, shore - 1).astype(int)
    reflection = blend(picture[mirrored, x.astype(int)], (20, 45, 80), 0.45)
    picture[lake] = reflection[lake]
    return np.rint(picture).astype(np.uint8)


def main(argv):
    output = pathlib.Path(argv[1]) if len(argv) > 1 else ROOT / "examples" / "landscape.png"
    output.parent.mkdir(parents=True, exist_ok=True)
    Image.fromarray(landscape(), "RGB").save(output, optimize=True)
    print(output)


if __name__ == "__main__":
    main(sys.argv)
