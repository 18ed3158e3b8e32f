"""The `palettra` command: images in, the same images in a palette out."""

import argparse
import sys
import warnings
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import TextIO

import numpy as np

from . import __version__
from .dithering import ERROR_DIFFUSION, METHODS, ORDERED, IndexMap
from .errors import ImageError, ImageTooLargeError, PaletteError, ToolsError
from .images import DEFAULT_MAX_PIXELS, Picture, read_image
from .mapping import changed_by_indices, index_picture, picture_from_indices
from .metrics import METRICS
from .named import PALETTES
from .output import output_format, write_image
from .palette_files import Palette, format_for_writing, load_palette, write_palette
from .palette_making import eight_bit_palette, make_palette
from .progress import ProgressBar
from .swatches import swatch_sheet

# Exit statuses: 0 all done, 1 some images failed, 2 nothing done because the
# command itself was wrong (arguments, palette, output names).
EXIT_FAILED_IMAGES = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

# Images at least this large get a progress display when stderr is a terminal.
PROGRESS_PIXELS = 1 << 18

_RERUN_HINT = " (to re-run a batch, add --skip-existing)"


class UsageError(ToolsError):
    pass


class _Reporter:
    """Messages on standard error, each on a line of its own even while a
    progress line is being drawn."""

    def __init__(self, stream: TextIO):
        self.stream = stream
        self.bar: ProgressBar | None = None

    def say(self, text: str) -> None:
        if self.bar is not None:
            self.bar.end_line()
        print(text, file=self.stream, flush=True)

    def show_warning(
        self,
        message: Warning | str,
        category: type[Warning],
        filename: str,
        lineno: int,
        file: TextIO | None = None,
        line: str | None = None,
    ) -> None:
        self.say(f"palettra: warning: {message}")


def _pixel_limit(text: str) -> int:
    try:
        value = int(text.replace(",", "").replace("_", ""))
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a number of pixels, 0 for no limit, got '{text}'")
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


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="palettra",
        description="Maps every pixel of each INPUT image to the nearest colour of a palette, "
        "exactly, and writes the result as PNG, GIF or lossless WebP (by the output's extension). "
        "Images are turned upright and converted to sRGB first; alpha is kept as it was; "
        "16-bit images stay 16-bit.",
        epilog="Without -o or --out-dir, INPUT.png is written as INPUT-PALETTE.png "
        "(INPUT-N-colours.png with --colours N) beside it. "
        "Exit status: 0 all converted, 1 some images failed, 2 bad command, palette or outputs.",
    )
    parser.add_argument("inputs", nargs="*", metavar="INPUT", help="image files (PNG, JPEG, GIF, BMP, TIFF, ...)")
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
    where.add_argument("-o", "--output", metavar="OUT", help="the output: .png, .gif or .webp (one INPUT only)")
    where.add_argument("--out-dir", metavar="DIR", help="write every result as DIR/NAME.png")
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
        "--serpentine", action="store_true", help="error diffusion: scan every other row right to left"
    )
    parser.add_argument(
        "--strength", type=float, default=1.0, metavar="S",
        help="how much of the error or pattern is applied, 0 (none) to 1 (all, the default)",
    )  # fmt: skip
    parser.add_argument(
        "--threads", type=_at_least_one("threads"), default=None, metavar="N",
        help="map on N threads (default: every processor this process may use); the result is the same",
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
        "--max-pixels", type=_pixel_limit, default=DEFAULT_MAX_PIXELS, metavar="N",
        help=f"refuse images of more than N pixels (default {DEFAULT_MAX_PIXELS:,}; 0: no limit)",
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


def _list_palettes() -> None:
    width = max(len(name) for name in PALETTES)
    for palette in PALETTES.values():
        count = len(palette.hex_colours)
        print(f"{palette.name:<{width}}  {count:3d} colours  {palette.description}")
        print(f"{'':<{width + 15}}  source: {palette.source}")


def _check_target(target: Path, args: argparse.Namespace, colours: int) -> None:
    """`colours`: how many colours the palette has, or at most has."""
    try:
        kind = output_format(target)
    except ImageError as error:
        raise UsageError(str(error)) from None
    if kind == "GIF" and colours > 256:
        raise UsageError(f"{target}: a GIF holds at most 256 colours, this palette has {colours}: write .png")
    if kind == "WebP" and args.indexed:
        raise UsageError(f"{target}: WebP has no indexed form: leave out --indexed or write .png")
    if target.is_dir():
        raise UsageError(f"{target}: is a folder; the output must be a file name")
    existing = next(parent for parent in target.parents if parent.exists())
    if not existing.is_dir():
        raise UsageError(f"{target}: cannot be written, {existing} is a file, not a folder")


def _targets(args: argparse.Namespace, inputs: list[Path], palette_label: str) -> list[Path]:
    for path in inputs:
        if path.is_dir():
            raise UsageError(f"{path}: is a folder; name the images in it instead (for example {path / '*.png'})")
    if args.output is not None:
        if len(inputs) != 1:
            raise UsageError(f"-o names one output, but there are {len(inputs)} inputs: use --out-dir")
        return [Path(args.output)]
    if args.out_dir is not None:
        folder = Path(args.out_dir)
        if folder.exists() and not folder.is_dir():
            raise UsageError(f"{folder}: --out-dir names a file, not a folder")
        return [folder / f"{path.stem}.png" for path in inputs]
    return [path.with_name(f"{path.stem}-{palette_label}.png") for path in inputs]


def _jobs(args: argparse.Namespace, colours: int, palette_label: str) -> tuple[list[tuple[Path, Path]], list[str]]:
    """(input, output) pairs to convert, and what --skip-existing left out."""
    inputs = [Path(name) for name in args.inputs]
    jobs = list(zip(inputs, _targets(args, inputs, palette_label)))
    skipped: list[str] = []
    if args.skip_existing:
        made_by = {target.resolve(): source for source, target in jobs}
        kept = []
        for source, target in jobs:
            maker = made_by.get(source.resolve())
            if maker is not None:
                skipped.append(f"{source}: skipped, it is the output of {maker}")
            elif target.exists():
                skipped.append(f"{source}: skipped, {target} exists")
            else:
                kept.append((source, target))
        jobs = kept
    hint = "" if args.skip_existing else _RERUN_HINT
    seen: dict[Path, Path] = {}
    sources = {path.resolve() for path in inputs}
    for source, target in jobs:
        _check_target(target, args, colours)
        key = target.resolve()
        if key in sources:
            raise UsageError(f"{target}: the output would overwrite an input{hint}")
        if key in seen:
            raise UsageError(f"{seen[key]} and {source} would both be written to {target}")
        seen[key] = source
    return jobs, skipped


def _share(part: int, whole: int) -> str:
    """part / whole in per cent, with as many decimals as it takes to read
    0% or 100% only when it is exactly that."""
    decimals = 1
    while True:
        scale = 10**decimals
        rounded = (200 * scale * part + whole) // (2 * whole)
        if (rounded == 0) == (part == 0) and (rounded == 100 * scale) == (part == whole):
            return f"{rounded // scale}.{rounded % scale:0{decimals}d}%"
        decimals += 1


def _map(
    picture: Picture, palette: Palette, args: argparse.Namespace, progress: ProgressBar | None
) -> tuple[IndexMap, int]:
    """Every pixel's palette row, dithered as asked, and how many pixels changed colour."""
    chosen = index_picture(
        picture,
        palette,
        metric=args.metric,
        dither=args.dither,
        serpentine=args.serpentine,
        strength=args.strength,
        threads=args.threads,
        progress=progress,
    )
    return chosen, changed_by_indices(picture, palette, chosen)


def _read(source: Path, args: argparse.Namespace, reporter: _Reporter) -> Picture:
    def decoding(width: int, height: int) -> None:
        large = width * height >= PROGRESS_PIXELS and reporter.stream.isatty()
        if args.progress or (args.progress is None and large):
            reporter.bar = ProgressBar(str(source), reporter.stream)
            reporter.bar.phase("reading")

    reporter.bar = None
    return read_image(
        source,
        upright=not args.keep_orientation,
        srgb=not args.ignore_profile,
        max_pixels=args.max_pixels or None,
        decoding=decoding,
    )


def _eight_bit(picture: Picture) -> Picture:
    """The picture's colours rounded to 8 bits, its alpha only as far as it is 0 or not."""
    if picture.bits == 8:
        return picture
    rgb = ((2 * picture.rgb.astype(np.uint32) + 257) // 514).astype(np.uint8)
    alpha = None if picture.alpha is None else (picture.alpha != 0).astype(np.uint8)
    return Picture(rgb, alpha, 8)


def _made_palette(pictures: list[Picture], args: argparse.Namespace) -> Palette:
    """The --colours palette of the pictures in 8-bit values, as palettes are;
    written to --save-palette when that is given."""
    if len({picture.bits for picture in pictures}) > 1:
        pictures = [_eight_bit(picture) for picture in pictures]
    made = make_palette(pictures, args.colours, metric=args.metric)
    if pictures:
        made = eight_bit_palette(made, pictures[0].bits)
    if args.save_palette is not None:
        try:
            write_palette(args.save_palette, made)
        except OSError as error:
            raise PaletteError(f"{args.save_palette}: cannot write the palette: {error.strerror or error}") from None
    return made


def _convert_one(
    source: Path,
    target: Path,
    palette: Palette | None,
    args: argparse.Namespace,
    reporter: _Reporter,
    picture: Picture | None = None,
) -> None:
    """Converts `source` (already read as `picture`, if given) to `palette`,
    or to a palette made from it when that is None."""
    if picture is None:
        picture = _read(source, args, reporter)
    else:
        reporter.bar = None
    if palette is None:
        if reporter.bar is not None:
            reporter.bar.phase("making the palette")
        palette = _made_palette([picture], args)
    height, width = picture.rgb.shape[:2]
    chosen, changed = _map(picture, palette, args, reporter.bar)
    if reporter.bar is not None:
        reporter.bar.phase("writing")
    try:
        target.parent.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise ImageError(f"{target.parent}: cannot create the folder: {error.strerror or error}") from None
    if args.indexed or output_format(target) == "GIF":
        # The index map is written as it is, beside the picture's alpha:
        # the new colours are never made.
        write_image(target, picture, palette, indices=chosen)
    else:
        result = picture_from_indices(picture, palette, chosen)
        # While the output is encoded, only the result is held.
        del picture, chosen
        write_image(target, result)
    if reporter.bar is not None:
        reporter.bar.done()
    if not args.quiet:
        total = height * width
        share = f" ({_share(changed, total)})" if total else ""
        print(f"{source} -> {target}: {changed:,} of {total:,} pixels changed{share}", flush=True)


def _palette_label(name_or_path: str) -> str:
    # A file wins over a built-in of the same name, as in load_palette.
    return Path(name_or_path).stem if Path(name_or_path).is_file() else name_or_path.lower()


def _show_palette(args: argparse.Namespace) -> None:
    palette = load_palette(args.show_palette, drop_padding=args.drop_padding)
    target = Path(args.output)
    _check_target(target, args, len(palette))
    if output_format(target) == "GIF":
        raise UsageError(f"{target}: a swatch sheet has more colours than a GIF holds: write .png")
    write_image(target, Picture(swatch_sheet(palette, _palette_label(args.show_palette)), None, 8))


def _check_arguments(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
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
    if not 0.0 <= args.strength <= 1.0:
        parser.error(f"--strength must lie in 0 to 1, got {args.strength:g}")


def _converted_with_one_palette(
    jobs: list[tuple[Path, Path]], args: argparse.Namespace, reporter: _Reporter
) -> int:
    """Reads every input, makes one palette from all of them, maps each to
    it; gives how many failed."""
    read: list[tuple[Path, Path, Picture]] = []
    failed = 0
    for source, target in jobs:
        try:
            read.append((source, target, _read(source, args, reporter)))
        except ToolsError as error:
            failed += 1
            _report_failure(error, reporter)
    if not read:
        return failed
    try:
        palette = _made_palette([picture for _, _, picture in read], args)
    except ToolsError as error:
        _report_failure(error, reporter)
        return len(jobs)
    while read:
        # Each picture is let go once it is written.
        source, target, picture = read.pop(0)
        try:
            _convert_one(source, target, palette, args, reporter, picture)
        except ToolsError as error:
            failed += 1
            _report_failure(error, reporter)
    return failed


def _report_failure(error: ToolsError, reporter: _Reporter) -> None:
    if isinstance(error, ImageTooLargeError):
        reporter.say(f"palettra: error: {error}; --max-pixels N allows more (0: no limit)")
    else:
        reporter.say(f"palettra: error: {error}")


def run(argv: Sequence[str] | None, reporter: _Reporter) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    if args.list_palettes:
        _list_palettes()
        return 0
    _check_arguments(parser, args)

    try:
        if args.show_palette is not None:
            _show_palette(args)
            return 0
        if args.colours is not None:
            palette, colours, label = None, args.colours, f"{args.colours}-colours"
            if args.save_palette is not None:
                format_for_writing(args.save_palette)
        else:
            palette = load_palette(args.palette, drop_padding=args.drop_padding)
            colours, label = len(palette), _palette_label(args.palette)
        if args.indexed and colours > 256:
            raise UsageError(f"--indexed needs a palette of at most 256 colours; this one has {colours}")
        jobs, skipped = _jobs(args, colours, label)
    except ToolsError as error:
        reporter.say(f"palettra: error: {error}")
        return EXIT_USAGE

    if not args.quiet:
        for line in skipped:
            print(line)
    if args.shared_palette:
        failed = _converted_with_one_palette(jobs, args, reporter)
    else:
        failed = 0
        for source, target in jobs:
            try:
                _convert_one(source, target, palette, args, reporter)
            except ToolsError as error:
                failed += 1
                _report_failure(error, reporter)
    if len(jobs) + len(skipped) > 1 and not args.quiet:
        left_out = f", {len(skipped)} skipped" if skipped else ""
        print(f"{len(jobs) - failed} of {len(jobs)} images converted{left_out}")
    return EXIT_FAILED_IMAGES if failed else 0


def main(argv: Sequence[str] | None = None) -> int:
    reporter = _Reporter(sys.stderr)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("always")
            warnings.showwarning = reporter.show_warning
            return run(argv, reporter)
    except KeyboardInterrupt:
        reporter.say("palettra: interrupted")
        return EXIT_INTERRUPTED
