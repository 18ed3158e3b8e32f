"""The `palettra` command: images in, the same images in a palette out."""

import argparse
import sys
from collections.abc import Sequence
from pathlib import Path

from .errors import ImageError, ToolsError
from .images import read_image, write_image
from .mapping import METRICS, changed_pixels, convert_picture
from .named import PALETTES
from .palette_files import Palette, load_palette
from .progress import ProgressBar

# Exit statuses: 0 all done, 1 some images failed, 2 nothing done because the
# command itself was wrong (arguments, palette, output names).
EXIT_FAILED_IMAGES = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

# Images at least this large get a progress bar when stderr is a terminal.
PROGRESS_PIXELS = 1 << 18


class UsageError(ToolsError):
    pass


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="palettra",
        description="Maps every pixel of each INPUT image to the nearest colour of a palette, "
        "exactly, and writes the result as PNG. Alpha is kept as it was; "
        "16-bit images stay 16-bit.",
        epilog="Without -o or --out-dir, INPUT.png is written as INPUT-PALETTE.png beside it. "
        "Exit status: 0 all converted, 1 some images failed, 2 bad command, palette or outputs.",
    )
    parser.add_argument("inputs", nargs="*", metavar="INPUT", help="image files (PNG, JPEG, GIF, BMP, TIFF, ...)")
    parser.add_argument(
        "-p", "--palette", metavar="NAME|FILE",
        help="a built-in palette (see --list-palettes) or a .gpl, .hex, .txt, .pal (JASC) or .act file",
    )  # fmt: skip
    where = parser.add_mutually_exclusive_group()
    where.add_argument("-o", "--output", metavar="OUT", help="the output PNG (one INPUT only)")
    where.add_argument("--out-dir", metavar="DIR", help="write every result as DIR/NAME.png")
    parser.add_argument(
        "--metric", choices=METRICS, default="rgb",
        help="rgb: nearest by RGB distance (default); lab: nearest by CIELAB ΔE*ab (1976)",
    )  # fmt: skip
    parser.add_argument(
        "--indexed", action="store_true", help="write indexed (palette) PNGs; the palette must have at most 256 colours"
    )
    shown = parser.add_mutually_exclusive_group()
    shown.add_argument("--progress", dest="progress", action="store_true", default=None, help="always show progress")
    shown.add_argument("--no-progress", dest="progress", action="store_false", help="never show progress")
    parser.add_argument("-q", "--quiet", action="store_true", help="print only errors")
    parser.add_argument("--list-palettes", action="store_true", help="list the built-in palettes and exit")
    return parser


def _list_palettes() -> None:
    width = max(len(name) for name in PALETTES)
    for palette in PALETTES.values():
        count = len(palette.hex_colours)
        print(f"{palette.name:<{width}}  {count:3d} colours  {palette.description}")
        print(f"{'':<{width + 15}}  source: {palette.source}")


def _outputs(args: argparse.Namespace, palette_label: str) -> list[tuple[Path, Path]]:
    inputs = [Path(name) for name in args.inputs]
    if args.output is not None:
        if len(inputs) != 1:
            raise UsageError(f"-o names one output, but there are {len(inputs)} inputs: use --out-dir")
        outputs = [Path(args.output)]
    elif args.out_dir is not None:
        outputs = [Path(args.out_dir) / f"{path.stem}.png" for path in inputs]
    else:
        outputs = [path.with_name(f"{path.stem}-{palette_label}.png") for path in inputs]
    if outputs[0].suffix.lower() != ".png":
        raise UsageError(f"{outputs[0]}: the output is written as PNG, so its name must end in .png")
    seen: dict[Path, Path] = {}
    sources = {path.resolve() for path in inputs}
    for source, target in zip(inputs, outputs):
        key = target.resolve()
        if key in sources:
            raise UsageError(f"{target}: the output would overwrite an input")
        if key in seen:
            raise UsageError(f"{seen[key]} and {source} would both be written to {target}")
        seen[key] = source
    return list(zip(inputs, outputs))


def _convert_one(source: Path, target: Path, palette: Palette, args: argparse.Namespace) -> None:
    picture = read_image(source)
    height, width = picture.rgb.shape[:2]
    if args.progress is not None:
        show = args.progress
    else:
        show = sys.stderr.isatty() and height * width >= PROGRESS_PIXELS
    progress = ProgressBar(str(source), sys.stderr) if show else None
    result = convert_picture(picture, palette, metric=args.metric, progress=progress)
    try:
        target.parent.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise ImageError(f"{target.parent}: cannot create the folder: {error.strerror or error}") from None
    write_image(target, result, palette if args.indexed else None)
    if not args.quiet:
        total = height * width
        changed = changed_pixels(picture, result)
        share = f" ({100 * changed / total:.1f}%)" if total else ""
        print(f"{source} -> {target}: {changed:,} of {total:,} pixels changed{share}")


def run(argv: Sequence[str] | None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    if args.list_palettes:
        _list_palettes()
        return 0
    if not args.inputs:
        parser.error("no INPUT images given")
    if args.palette is None:
        parser.error("--palette NAME|FILE is required (see --list-palettes)")

    try:
        palette = load_palette(args.palette)
        if args.indexed and len(palette) > 256:
            raise UsageError(f"--indexed needs a palette of at most 256 colours; this one has {len(palette)}")
        # A file wins over a built-in of the same name, as in load_palette.
        label = Path(args.palette).stem if Path(args.palette).is_file() else args.palette.lower()
        jobs = _outputs(args, label)
    except ToolsError as error:
        print(f"palettra: error: {error}", file=sys.stderr)
        return EXIT_USAGE

    failed = 0
    for source, target in jobs:
        try:
            _convert_one(source, target, palette, args)
        except ToolsError as error:
            failed += 1
            print(f"palettra: error: {error}", file=sys.stderr)
    if len(jobs) > 1 and not args.quiet:
        print(f"{len(jobs) - failed} of {len(jobs)} images converted")
    return EXIT_FAILED_IMAGES if failed else 0


def main(argv: Sequence[str] | None = None) -> int:
    try:
        return run(argv)
    except KeyboardInterrupt:
        print("palettra: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
