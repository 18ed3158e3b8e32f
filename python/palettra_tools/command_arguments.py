"""The `palettra` command's arguments: what each means, and which of them
make no sense together."""

import argparse
from collections.abc import Callable
from pathlib import Path
from typing import NoReturn

from . import __version__
from .dithering import DEFAULT_LIGHT, ERROR_DIFFUSION, METHODS, ORDERED
from .images import DEFAULT_MAX_PIXELS
from .light import LIGHTS
from .metrics import METRICS
from .output import FORMATS

# Exit status when nothing was done because the command itself was wrong.
EXIT_USAGE = 2

# "-" as an input or as -o: standard input or standard output.
STANDARD_STREAM = Path("-")
FORMAT_NAMES = {suffix.removeprefix("."): kind for suffix, kind in FORMATS.items()}


class Parser(argparse.ArgumentParser):
    """Every mistake on the command line is one line, as every other mistake is."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"palettra: error: {message}\n")


def _pixel_limit(text: str) -> int:
    try:
        value = int(text.replace(",", "").replace("_", ""))
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a number of pixels, 0 for no limit, got '{text}'")
    return value


def _alpha_level(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if not 0 <= value <= 255:
        raise argparse.ArgumentTypeError(f"expected an alpha level 0 to 255, got '{text}'")
    return value


def _at_least_one(what: str) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            value = 0
        if value < 1:
            raise argparse.ArgumentTypeError(f"expected a number of {what} of at least 1, got '{text}'")
        return value

    return parse


_colour_count = _at_least_one("colours")


def command_parser() -> argparse.ArgumentParser:
    parser = Parser(
        prog="palettra",
        description="Maps every pixel of each INPUT image to the nearest colour of a palette, "
        "exactly, and writes the result as PNG, GIF or lossless WebP (by the output's extension). "
        "Images are turned upright and converted to sRGB first; alpha is kept as it was; "
        "16-bit images stay 16-bit; animated GIF, PNG and WebP keep every frame and its timing.",
        epilog="Without -o or --out-dir, INPUT.png is written as INPUT-PALETTE.png "
        "(INPUT-N-colours.png with --colours N; the extension --format names) beside it. "
        "Existing outputs are overwritten unless --no-clobber is given. "
        "Exit status: 0 all converted, 1 some images failed, 2 bad command, palette or outputs.",
    )
    parser.add_argument(
        "inputs", nargs="*", metavar="INPUT",
        help="image files (PNG, JPEG, GIF, BMP, TIFF, ...); - reads one image from standard input",
    )  # fmt: skip
    parser.add_argument(
        "-p", "--palette", metavar="NAME|FILE",
        help="a built-in palette (see --list-palettes) or a .gpl, .hex, .txt, .pal (JASC) or .act file",
    )  # fmt: skip
    parser.add_argument(
        "--colours", type=_colour_count, metavar="N",
        help="make an N-colour palette from each INPUT (from all of them with --shared-palette) and map to it",
    )  # fmt: skip
    parser.add_argument(
        "--shared-palette", action="store_true", help="with --colours: one palette made from all INPUTs together"
    )
    parser.add_argument(
        "--save-palette", metavar="FILE",
        help="with --colours: write the palette made as FILE (.gpl, .hex, .txt, .pal or .act)",
    )  # fmt: skip
    parser.add_argument(
        "--show-palette", metavar="NAME|FILE",
        help="draw a palette as a sheet of swatches (its name, each colour's index and hex value) into -o OUT",
    )  # fmt: skip
    where = parser.add_mutually_exclusive_group()
    where.add_argument(
        "-o", "--output", metavar="OUT",
        help="the output: .png, .gif or .webp (one INPUT only); - writes standard output, in --format",
    )  # fmt: skip
    where.add_argument("--out-dir", metavar="DIR", help="write every result as DIR/NAME.png (or --format's extension)")
    parser.add_argument(
        "--format", choices=FORMAT_NAMES, metavar="png|gif|webp",
        help="the format of the outputs that --out-dir, the default names or -o - give (default png)",
    )  # fmt: skip
    parser.add_argument(
        "--metric", choices=METRICS, default="rgb",
        help="rgb: nearest by RGB distance (default); lab: nearest by CIELAB ΔE*ab (1976)",
    )  # fmt: skip
    parser.add_argument(
        "--dither", choices=METHODS, default="none", metavar="METHOD",
        help="none (default: every pixel its nearest colour), an error diffusion kernel "
        f"({', '.join(ERROR_DIFFUSION)}) or an ordered pattern ({', '.join(ORDERED)})",
    )  # fmt: skip
    parser.add_argument(
        "--light", choices=LIGHTS,
        help=f"with --dither: carry error and offsets in linear light or in sRGB code values (default {DEFAULT_LIGHT})",
    )  # fmt: skip
    parser.add_argument(
        "--serpentine", action="store_true", help="error diffusion: scan every other row right to left"
    )
    parser.add_argument(
        "--strength", type=float, metavar="S",
        help="with --dither: how much of the error or pattern is applied, 0 (none) to 1 (all, the default)",
    )  # fmt: skip
    parser.add_argument(
        "--threads", type=_at_least_one("threads"), metavar="N",
        help="map on N threads (default: every processor this process may use); the result is the same",
    )  # fmt: skip
    parser.add_argument(
        "--alpha-threshold", type=_alpha_level, metavar="A",
        help="make pixels whose alpha is below A (0 to 255) fully transparent and the others opaque, "
        "as GIFs and indexed PNGs of many alpha levels need",
    )  # fmt: skip
    parser.add_argument(
        "--indexed", action="store_true",
        help="write indexed (palette) PNGs, the index of every pixel's colour as chosen; "
        "the palette must have at most 256 colours",
    )  # fmt: skip
    parser.add_argument(
        "--skip-existing", action="store_true",
        help="leave out inputs whose output exists and inputs that are outputs of other inputs (to re-run a batch)",
    )  # fmt: skip
    parser.add_argument(
        "--no-clobber", action="store_true",
        help="never overwrite an existing output: an input whose output exists fails instead",
    )  # fmt: skip
    parser.add_argument(
        "--max-pixels", type=_pixel_limit, default=DEFAULT_MAX_PIXELS, metavar="N",
        help=f"refuse images of more than N pixels, all frames together (default {DEFAULT_MAX_PIXELS:,}; 0: no limit)",
    )  # fmt: skip
    parser.add_argument(
        "--first-frame", action="store_true",
        help="read only the first frame of an animated GIF, PNG or WebP (all frames are converted otherwise)",
    )  # fmt: skip
    parser.add_argument(
        "--keep-orientation", action="store_true",
        help="keep the pixels as stored instead of turning them as their EXIF orientation says",
    )  # fmt: skip
    parser.add_argument(
        "--ignore-profile", action="store_true",
        help="take the colours as they are instead of converting an embedded colour profile to sRGB",
    )  # fmt: skip
    parser.add_argument(
        "--drop-padding", action="store_true",
        help="leave out the trailing entries of an .act palette without a count that repeat one colour",
    )  # fmt: skip
    shown = parser.add_mutually_exclusive_group()
    shown.add_argument("--progress", dest="progress", action="store_true", default=None, help="always show progress")
    shown.add_argument("--no-progress", dest="progress", action="store_false", help="never show progress")
    parser.add_argument("-q", "--quiet", action="store_true", help="print only errors")
    parser.add_argument("--list-palettes", action="store_true", help="list the built-in palettes and exit")
    parser.add_argument("--version", action="version", version=f"palettra {__version__}")
    return parser


def check_arguments(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    palette_named = args.show_palette if args.show_palette is not None else args.palette
    if args.drop_padding and (palette_named is None or Path(palette_named).suffix.lower() != ".act"):
        parser.error("--drop-padding goes with an .act palette file (-p FILE.act or --show-palette FILE.act)")
    if args.show_palette is not None:
        if args.inputs or args.output is None:
            parser.error("--show-palette NAME|FILE takes no INPUT images and writes -o OUT")
        return
    if not args.inputs:
        parser.error("no INPUT images given")
    if args.palette is None and args.colours is None:
        parser.error("--palette NAME|FILE is required (see --list-palettes), or --colours N to make one")
    if args.palette is not None and args.colours is not None:
        parser.error("--palette and --colours N both name a palette: give one")
    if args.colours is None and (args.shared_palette or args.save_palette is not None):
        parser.error("--shared-palette and --save-palette go with --colours N")
    if args.save_palette is not None and len(args.inputs) > 1 and not args.shared_palette:
        parser.error("--save-palette with several INPUTs needs --shared-palette, so that there is one palette")
    if args.light is not None and args.dither == "none":
        parser.error("--light goes with --dither METHOD: without dithering no error or offset is carried")
    if args.strength is not None:
        if args.dither == "none":
            parser.error("--strength goes with --dither METHOD: without dithering there is nothing to scale")
        if not 0.0 <= args.strength <= 1.0:
            parser.error(f"--strength must lie in 0 to 1, got {args.strength:g}")
    if args.serpentine and args.dither not in ERROR_DIFFUSION:
        scan = "an ordered pattern has no scan order" if args.dither in ORDERED else "without it nothing is scanned"
        parser.error(f"--serpentine goes with error diffusion (--dither floyd-steinberg, ...): {scan}")
    if args.skip_existing and args.no_clobber:
        parser.error("--skip-existing and --no-clobber: give one (the first leaves inputs out, the second fails them)")
