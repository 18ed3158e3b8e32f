"""The `palettra` command: images in, the same images in a palette out."""

import argparse
import io
import sys
import warnings
from collections.abc import Sequence
from dataclasses import replace
from pathlib import Path
from typing import BinaryIO, TextIO

import numpy as np

from .animation import Animation, Frame, read_frames, write_frames
from .command_arguments import EXIT_USAGE, FORMAT_NAMES, STANDARD_STREAM, check_arguments, command_parser
from .dithering import DEFAULT_LIGHT, IndexMap
from .errors import ImageError, ImageTooLargeError, PaletteError, ToolsError
from .images import Picture, read_image
from .mapping import Progress, changed_by_indices, index_picture, picture_from_indices
from .named import PALETTES
from .output import output_format, write_image
from .palette_files import Palette, format_for_writing, load_palette, write_palette
from .palette_making import eight_bit_palette, make_palette
from .progress import ProgressBar
from .swatches import swatch_sheet

# Exit statuses: 0 all done, 1 some images failed, 2 nothing done because the
# command itself was wrong (arguments, palette, output names).
EXIT_FAILED_IMAGES = 1
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


def _list_palettes() -> None:
    width = max(len(name) for name in PALETTES)
    for palette in PALETTES.values():
        count = len(palette.hex_colours)
        print(f"{palette.name:<{width}}  {count:3d} colours  {palette.description}")
        print(f"{'':<{width + 15}}  source: {palette.source}")


def _target_format(target: Path, args: argparse.Namespace) -> str:
    """The format `target` is written in: standard output's from --format,
    a file's from its extension (which --format, if given, must agree with)."""
    if target == STANDARD_STREAM:
        return FORMAT_NAMES[args.format or "png"]
    try:
        kind = output_format(target)
    except ImageError as error:
        raise UsageError(str(error)) from None
    if args.format is not None and FORMAT_NAMES[args.format] != kind:
        raise UsageError(f"{target}: the extension names {kind}, --format {args.format}: give one")
    return kind


def _check_target(target: Path, args: argparse.Namespace, colours: int) -> None:
    """`colours`: how many colours the palette has, or at most has."""
    if target.is_dir():
        into = " (--out-dir writes into a folder)" if args.output is not None else ""
        raise UsageError(f"{target}: is a folder; the output must be a file name{into}")
    kind = _target_format(target, args)
    if kind == "GIF" and colours > 256:
        raise UsageError(f"{target}: a GIF holds at most 256 colours, this palette has {colours}: write .png")
    if kind == "WebP" and args.indexed:
        raise UsageError(f"{target}: WebP has no indexed form: leave out --indexed or write .png")
    if target == STANDARD_STREAM:
        if sys.stdout.isatty():
            raise UsageError("-o - would write the image to the terminal: redirect standard output to a file or a pipe")
        return
    existing = next(parent for parent in target.parents if parent.exists())
    if not existing.is_dir():
        raise UsageError(f"{target}: cannot be written, {existing} is a file, not a folder")


def _targets(args: argparse.Namespace, inputs: list[Path], palette_label: str) -> list[Path]:
    for path in inputs:
        if path.is_dir():
            raise UsageError(f"{path}: is a folder; name the images in it instead (for example {path / '*.png'})")
    if STANDARD_STREAM in inputs and (len(inputs) > 1 or args.output is None):
        raise UsageError(
            "- reads one image from standard input, the only INPUT, and needs -o OUT (or -o - for standard output)"
        )
    if args.output is not None:
        if len(inputs) != 1:
            raise UsageError(f"-o names one output, but there are {len(inputs)} inputs: use --out-dir")
        if args.output.endswith(("/", "\\")) and not Path(args.output).is_dir():
            raise UsageError(f"{args.output}: names a folder; -o takes a file name (--out-dir writes into a folder)")
        return [Path(args.output)]
    suffix = f".{args.format or 'png'}"
    if args.out_dir is not None:
        folder = Path(args.out_dir)
        if folder.exists() and not folder.is_dir():
            raise UsageError(f"{folder}: --out-dir names a file, not a folder")
        return [folder / f"{path.stem}{suffix}" for path in inputs]
    return [path.with_name(f"{path.stem}-{palette_label}{suffix}") for path in inputs]


def _jobs(
    args: argparse.Namespace, colours: int, palette_label: str
) -> tuple[list[tuple[Path, Path]], list[str], list[str]]:
    """(input, output) pairs to convert, what --skip-existing left out, and
    what --no-clobber refused."""
    inputs = [Path(name) for name in args.inputs]
    jobs = list(zip(inputs, _targets(args, inputs, palette_label)))
    skipped: list[str] = []
    refused: list[str] = []
    sources = {path.resolve() for path in inputs if path != STANDARD_STREAM}
    if args.skip_existing or args.no_clobber:
        made_by = {target.resolve(): source for source, target in jobs}
        kept = []
        for source, target in jobs:
            maker = made_by.get(source.resolve())
            if args.skip_existing and maker is not None:
                skipped.append(f"{source}: skipped, it is the output of {maker}")
            elif args.skip_existing and target.exists():
                skipped.append(f"{source}: skipped, {target} exists")
            elif args.no_clobber and target != STANDARD_STREAM and target.exists() and target.resolve() not in sources:
                refused.append(f"{source}: {target} exists, and --no-clobber leaves it as it is")
            else:
                kept.append((source, target))
        jobs = kept
    hint = _RERUN_HINT if len(inputs) > 1 and not args.skip_existing else ""
    seen: dict[Path, Path] = {}
    for source, target in jobs:
        _check_target(target, args, colours)
        if target == STANDARD_STREAM:
            continue
        key = target.resolve()
        if key in sources:
            raise UsageError(f"{target}: the output would overwrite an input{hint}")
        if key in seen:
            raise UsageError(f"{seen[key]} and {source} would both be written to {target}")
        seen[key] = source
    return jobs, skipped, refused


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


def _strength(args: argparse.Namespace) -> float:
    return 1.0 if args.strength is None else float(args.strength)


def _map(
    picture: Picture, palette: Palette, args: argparse.Namespace, progress: Progress | None
) -> tuple[IndexMap, int]:
    """Every pixel's palette row, dithered as asked, and how many pixels changed colour."""
    chosen = index_picture(
        picture,
        palette,
        metric=args.metric,
        dither=args.dither,
        serpentine=args.serpentine,
        strength=_strength(args),
        light=args.light or DEFAULT_LIGHT,
        threads=args.threads,
        progress=progress,
    )
    return chosen, changed_by_indices(picture, palette, chosen)


def _thresholded(picture: Picture, level: int | None) -> Picture:
    """With --alpha-threshold: alpha below the level fully transparent, the rest opaque."""
    if level is None or picture.alpha is None:
        return picture
    top = (1 << picture.bits) - 1
    scaled = level * (top // 255)
    alpha = np.where(picture.alpha < scaled, 0, top).astype(picture.alpha.dtype)
    return Picture(picture.rgb, alpha, picture.bits)


def _read(source: Path, args: argparse.Namespace, reporter: _Reporter) -> Animation:
    def decoding(width: int, height: int) -> None:
        large = width * height >= PROGRESS_PIXELS and reporter.stream.isatty()
        if args.progress or (args.progress is None and large):
            reporter.bar = ProgressBar(_shown_name(source), reporter.stream)
            reporter.bar.phase("reading")

    reporter.bar = None
    readable: Path | BinaryIO = source
    if source == STANDARD_STREAM:
        # Decoders seek: the whole encoded file is held, as a file's is cached.
        readable = io.BytesIO(sys.stdin.buffer.read())
        readable.name = _shown_name(source)
    upright, srgb, limit = not args.keep_orientation, not args.ignore_profile, args.max_pixels or None
    if args.first_frame:
        first = read_image(readable, upright=upright, srgb=srgb, max_pixels=limit, decoding=decoding)
        animation = Animation([Frame(first)], 1)
    else:
        animation = read_frames(readable, upright=upright, srgb=srgb, max_pixels=limit, decoding=decoding)
    if args.alpha_threshold is None:
        return animation
    frames = [replace(frame, picture=_thresholded(frame.picture, args.alpha_threshold)) for frame in animation.frames]
    return replace(animation, frames=frames)


def _shown_name(path: Path) -> str:
    return "standard input" if path == STANDARD_STREAM else str(path)


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


_THRESHOLD_HINT = "--alpha-threshold A makes the pixels below A transparent and the others opaque"


def _check_alpha(pictures: list[Picture], kind: str, args: argparse.Namespace, palette: Palette) -> None:
    """Refuses, before any mapping, alpha that the output cannot hold."""
    if kind != "GIF" and not args.indexed:
        return
    for picture in pictures:
        if picture.alpha is None:
            continue
        top = (1 << picture.bits) - 1
        translucent = picture.alpha[(picture.alpha != 0) & (picture.alpha != top)]
        if kind == "GIF" and translucent.size:
            raise ImageError(
                "a GIF pixel is either transparent or opaque, and this image has partly transparent ones: "
                + _THRESHOLD_HINT
            )
        # Each alpha level takes an entry of its own, at the least.
        levels = len(np.unique(translucent)) + int(np.any(picture.alpha == 0))
        if len(palette) + levels > 256:
            raise ImageError(
                f"an indexed image holds at most 256 entries, and the palette's {len(palette)} colours "
                f"and this image's {levels} alpha levels need more: {_THRESHOLD_HINT}, or leave out --indexed"
            )


def _frame_progress(bar: ProgressBar | None, frame: int, frames: int) -> Progress | None:
    """The bar moved over all frames by each frame's rows."""
    if bar is None:
        return None
    return lambda done, total: bar(frame * total + done, frames * total)


def _mapped_frames(
    pictures: list[Picture], palette: Palette, args: argparse.Namespace, bar: ProgressBar | None
) -> tuple[list[IndexMap], int]:
    """Every frame's index map, and how many pixels of all frames changed colour."""
    chosen, changed = [], 0
    for index, picture in enumerate(pictures):
        indices, count = _map(picture, palette, args, _frame_progress(bar, index, len(pictures)))
        chosen.append(indices)
        changed += count
    return chosen, changed


def _convert_one(
    source: Path,
    target: Path,
    palette: Palette | None,
    args: argparse.Namespace,
    reporter: _Reporter,
    animation: Animation | None = None,
) -> None:
    """Converts `source` (already read as `animation`, if given) to `palette`,
    or to a palette made from it when that is None."""
    if animation is None:
        animation = _read(source, args, reporter)
    else:
        reporter.bar = None
    pictures = [frame.picture for frame in animation.frames]
    if palette is None:
        if reporter.bar is not None:
            reporter.bar.phase("making the palette")
        palette = _made_palette(pictures, args)
    kind = _target_format(target, args)
    if len(pictures) > 1 and args.indexed and kind == "PNG":
        raise ImageError(
            f"{_shown_name(source)}: an animated PNG is written in full colour: "
            "leave out --indexed, or add --first-frame"
        )
    try:
        _check_alpha(pictures, kind, args, palette)
    except ImageError as error:
        raise ImageError(f"{_shown_name(source)}: {error}") from None
    if reporter.bar is not None:
        reporter.bar.phase("mapping")
    chosen, changed = _mapped_frames(pictures, palette, args, reporter.bar)
    height, width = pictures[0].rgb.shape[:2]
    total, frames = height * width * len(pictures), len(pictures)
    if reporter.bar is not None:
        reporter.bar.phase("writing")
    destination, overwrite = _destination(target), not args.no_clobber
    if frames > 1:
        # Given the index maps, the writer reads only each frame's size,
        # depth and alpha: the decoded colours are let go before it runs.
        animation = replace(animation, frames=[replace(f, picture=_colourless(f.picture)) for f in animation.frames])
        del pictures
        write_frames(destination, animation, palette, indices=chosen, format=kind, overwrite=overwrite)
    elif args.indexed or kind == "GIF":
        # The index map is written as it is, beside the picture's alpha:
        # the new colours are never made.
        write_image(
            destination, pictures[0], palette, indices=chosen[0], format=kind, overwrite=overwrite,
            progress=reporter.bar,
        )  # fmt: skip
    else:
        result = picture_from_indices(pictures[0], palette, chosen[0])
        # While the output is encoded, only the result is held.
        del animation, pictures, chosen
        write_image(destination, result, format=kind, overwrite=overwrite, progress=reporter.bar)
    if reporter.bar is not None:
        reporter.bar.done()
    if not args.quiet:
        share = f" ({_share(changed, total)})" if total else ""
        counted = f" ({frames} frames)" if frames > 1 else ""
        to = "standard output" if target == STANDARD_STREAM else target
        # Standard output may be the image itself.
        out = sys.stderr if target == STANDARD_STREAM else sys.stdout
        summary = f"{_shown_name(source)} -> {to}{counted}: {changed:,} of {total:,} pixels changed{share}"
        print(summary, file=out, flush=True)


def _colourless(picture: Picture) -> Picture:
    """The picture with its colours replaced by a view of one black pixel, of the same shape."""
    black = np.broadcast_to(np.zeros(1, picture.rgb.dtype), picture.rgb.shape)
    return Picture(black, picture.alpha, picture.bits)


def _destination(target: Path) -> Path | BinaryIO:
    if target == STANDARD_STREAM:
        return sys.stdout.buffer
    try:
        target.parent.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise ImageError(f"{target.parent}: cannot create the folder: {error.strerror or error}") from None
    return target


def _palette_label(name_or_path: str) -> str:
    # A file wins over a built-in of the same name, as in load_palette.
    return Path(name_or_path).stem if Path(name_or_path).is_file() else name_or_path.lower()


def _show_palette(args: argparse.Namespace) -> None:
    palette = load_palette(args.show_palette, drop_padding=args.drop_padding)
    target = Path(args.output)
    _check_target(target, args, len(palette))
    kind = _target_format(target, args)
    if kind == "GIF":
        raise UsageError(f"{target}: a swatch sheet has more colours than a GIF holds: write .png")
    sheet = Picture(swatch_sheet(palette, _palette_label(args.show_palette)), None, 8)
    destination: Path | BinaryIO = sys.stdout.buffer if target == STANDARD_STREAM else target
    try:
        write_image(destination, sheet, format=kind, overwrite=not args.no_clobber)
    except ImageError as error:
        raise _WriteFailure(str(error)) from None


class _WriteFailure(ToolsError):
    """An output that could not be written: the image's failure, not the command's."""


def _converted_with_one_palette(
    jobs: list[tuple[Path, Path]], args: argparse.Namespace, reporter: _Reporter
) -> int:
    """Reads every input, makes one palette from all of them, maps each to
    it; gives how many failed."""
    read: list[tuple[Path, Path, Animation]] = []
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
        palette = _made_palette([frame.picture for _, _, animation in read for frame in animation.frames], args)
    except ToolsError as error:
        _report_failure(error, reporter)
        return len(jobs)
    while read:
        # Each animation is let go once it is written.
        source, target, animation = read.pop(0)
        try:
            _convert_one(source, target, palette, args, reporter, animation)
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
    parser = command_parser()
    args = parser.parse_args(argv)
    if args.list_palettes:
        if args.inputs:
            parser.error("--list-palettes takes no INPUT images")
        _list_palettes()
        return 0
    check_arguments(parser, args)

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
        jobs, skipped, refused = _jobs(args, colours, label)
    except _WriteFailure as failure:
        reporter.say(f"palettra: error: {failure}")
        return EXIT_FAILED_IMAGES
    except ToolsError as error:
        reporter.say(f"palettra: error: {error}")
        return EXIT_USAGE

    if not args.quiet:
        for line in skipped:
            print(line)
    for line in refused:
        reporter.say(f"palettra: error: {line}")
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
    attempted = len(jobs) + len(refused)
    if attempted + len(skipped) > 1 and not args.quiet:
        left_out = f", {len(skipped)} skipped" if skipped else ""
        print(f"{len(jobs) - failed} of {attempted} images converted{left_out}")
    return EXIT_FAILED_IMAGES if failed or refused else 0


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
