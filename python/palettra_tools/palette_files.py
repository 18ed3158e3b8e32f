"""Palette files: GIMP `.gpl`, plain hex lists, JASC `.pal` and Adobe `.act`.

Every reader gives an (n, 3) uint64 array of 8-bit values, in file order,
duplicates kept (the first of equal colours wins a tie anyway). Malformed
text files are reported with the file name and the line number.
"""

import difflib
import re
import warnings
from pathlib import Path

import numpy as np
import numpy.typing as npt

from .errors import PaletteError, ToolsWarning, located
from .named import PALETTES

Palette = npt.NDArray[np.uint64]

FORMATS = ("gpl", "hex", "jasc", "act")
_EXTENSIONS = {".gpl": "gpl", ".hex": "hex", ".txt": "hex", ".pal": "jasc", ".act": "act"}

_ACT_COLOURS = 256
_ACT_TABLE_BYTES = 3 * _ACT_COLOURS
_ACT_NO_TRANSPARENT_INDEX = 0xFFFF

_HEX_LINE = re.compile(r"#?([0-9a-fA-F]{6}|[0-9a-fA-F]{3})(?:\s.*)?")
_HEX_COMMENT = re.compile(r";|#(\s|$)")


# Longer quotes of the file are cut: a damaged file can hold a line of megabytes.
_QUOTE_LIMIT = 60


def _excerpt(text: str) -> str:
    return text if len(text) <= _QUOTE_LIMIT else f"{text[: _QUOTE_LIMIT - 3]}..."


def _as_palette(rows: list[tuple[int, int, int]]) -> Palette:
    return np.array(rows, dtype=np.uint64).reshape(-1, 3)


def _rgb(fields: list[str], origin: str, line: int, form: str) -> tuple[int, int, int]:
    """Three decimal values 0 to 255, or a message pointing at the line."""
    if len(fields) < 3 or not all(f.isascii() and f.isdigit() for f in fields[:3]):
        got = " ".join(fields)
        raise PaletteError(located(origin, line, f"expected '{form}' with values 0 to 255, got '{_excerpt(got)}'"))
    for text in fields[:3]:
        # Judged on the digits first: int() refuses thousands of them.
        digits = text.lstrip("0") or "0"
        if len(digits) > 3 or int(digits) > 255:
            raise PaletteError(located(origin, line, f"value {_excerpt(digits)} is out of range 0 to 255"))
    r, g, b = (int(f) for f in fields[:3])
    return r, g, b


def _require_colours(rows: list[tuple[int, int, int]], origin: str) -> None:
    if not rows:
        raise PaletteError(located(origin, None, "the palette has no colours"))


def parse_gpl(text: str, origin: str = "<gpl>") -> Palette:
    """A GIMP palette: the header line, optional `Name:`/`Columns:` lines and
    `#` comments, then one `red green blue [name]` line per colour."""
    lines = text.splitlines()
    if not lines or lines[0].strip() != "GIMP Palette":
        raise PaletteError(located(origin, 1, "not a GIMP palette: the first line must be 'GIMP Palette'"))
    rows: list[tuple[int, int, int]] = []
    for number, raw in enumerate(lines[1:], start=2):
        line = raw.strip()
        if not line or line.startswith("#"):
            continue
        # Header fields may appear only before the first colour.
        if not rows and re.match(r"(Name|Columns)\s*:", line):
            continue
        rows.append(_rgb(line.split(), origin, number, "red green blue [name]"))
    _require_colours(rows, origin)
    return _as_palette(rows)


def parse_hex(text: str, origin: str = "<hex>") -> Palette:
    """One `RRGGBB` or `#RRGGBB` per line, or the short `RGB` or `#RGB` that
    stands for `RRGGBB`, optionally followed by a blank and a name; blank
    lines, and lines starting with `;` or with `#` and a blank, are comments."""
    rows: list[tuple[int, int, int]] = []
    for number, raw in enumerate(text.splitlines(), start=1):
        line = raw.strip()
        if not line or _HEX_COMMENT.match(line):
            continue
        match = _HEX_LINE.fullmatch(line)
        if match is None:
            raise PaletteError(
                located(
                    origin, number, f"expected a colour as six hex digits RRGGBB (or three, RGB), got '{_excerpt(line)}'"
                )
            )
        digits = match.group(1)
        if len(digits) == 3:
            digits = "".join(digit * 2 for digit in digits)
        rows.append((int(digits[0:2], 16), int(digits[2:4], 16), int(digits[4:6], 16)))
    _require_colours(rows, origin)
    return _as_palette(rows)


def parse_jasc(text: str, origin: str = "<pal>") -> Palette:
    """A JASC (Paint Shop Pro) palette: `JASC-PAL`, `0100`, the colour count,
    then exactly that many `red green blue` lines."""
    lines = text.splitlines()
    if not lines or lines[0].strip() != "JASC-PAL":
        raise PaletteError(located(origin, 1, "not a JASC palette: the first line must be 'JASC-PAL'"))
    if len(lines) < 2 or lines[1].strip() != "0100":
        got = lines[1].strip() if len(lines) >= 2 else "end of file"
        raise PaletteError(located(origin, 2, f"expected the version '0100', got '{_excerpt(got)}'"))
    count_text = lines[2].strip() if len(lines) >= 3 else ""
    # No file holds a billion colours, and int() refuses thousands of digits.
    if not (count_text.isascii() and count_text.isdigit()) or len(count_text) > 9 or int(count_text) == 0:
        got = count_text if len(lines) >= 3 else "end of file"
        raise PaletteError(located(origin, 3, f"expected the number of colours, got '{_excerpt(got)}'"))
    count = int(count_text)
    rows: list[tuple[int, int, int]] = []
    for number, raw in enumerate(lines[3:], start=4):
        line = raw.strip()
        if not line:
            continue
        if len(rows) == count:
            raise PaletteError(located(origin, number, f"more colours than the {count} announced on line 3"))
        fields = line.split()
        if len(fields) != 3:
            raise PaletteError(located(origin, number, f"expected 'red green blue', got '{_excerpt(line)}'"))
        rows.append(_rgb(fields, origin, number, "red green blue"))
    if len(rows) < count:
        raise PaletteError(
            located(origin, len(lines), f"the file ends after {len(rows)} of the {count} colours announced on line 3")
        )
    return _as_palette(rows)


def _padding(table: npt.NDArray[np.uint8]) -> int:
    """How many entries at the end repeat one colour (0 for fewer than two)."""
    same = np.all(table == table[-1], axis=1)[::-1]
    run = len(same) if same.all() else int(np.argmin(same))
    return run if run >= 2 else 0


def parse_act(data: bytes, origin: str = "<act>", *, drop_padding: bool = False) -> Palette:
    """An Adobe colour table: 256 RGB triples, optionally followed by a
    big-endian colour count and transparent index (the index is ignored:
    transparency comes from the image's own alpha).

    Without a count, a table of fewer colours is padded to 256, usually with
    black: when the last entries repeat one colour, a ToolsWarning says so,
    and `drop_padding` leaves them out (keeping one where all are equal)."""
    if len(data) not in (_ACT_TABLE_BYTES, _ACT_TABLE_BYTES + 4):
        raise PaletteError(
            located(origin, None, f"an Adobe colour table is 768 or 772 bytes long, this file has {len(data)}")
        )
    table = np.frombuffer(data, dtype=np.uint8, count=_ACT_TABLE_BYTES).reshape(_ACT_COLOURS, 3)
    if len(data) == _ACT_TABLE_BYTES + 4:
        count = int.from_bytes(data[768:770], "big")
        if not 1 <= count <= _ACT_COLOURS:
            raise PaletteError(located(origin, None, f"colour count {count} at byte 768 is not between 1 and 256"))
        return table[:count].astype(np.uint64)
    padding = _padding(table)
    if padding and drop_padding:
        return table[: max(1, _ACT_COLOURS - padding)].astype(np.uint64)
    if padding:
        colour = "".join(f"{v:02x}" for v in table[-1].tolist())
        warnings.warn(
            located(
                origin,
                None,
                f"the last {padding} of its {_ACT_COLOURS} colours are all {colour}, which looks like padding: "
                "they are used as colours (--drop-padding leaves them out)",
            ),
            ToolsWarning,
            stacklevel=2,
        )
    return table.astype(np.uint64)


def _checked_8_bit(palette: npt.ArrayLike) -> npt.NDArray[np.uint64]:
    array = np.asarray(palette)
    if array.ndim != 2 or array.shape[1] != 3:
        raise PaletteError(f"a palette is an (n, 3) array, got shape {array.shape}")
    if array.size and (array.min() < 0 or array.max() > 255):
        raise PaletteError("palette files hold 8-bit colours: every value must be 0 to 255")
    return array.astype(np.uint64)


def format_gpl(palette: npt.ArrayLike, name: str = "palettra") -> str:
    rows = _checked_8_bit(palette)
    lines = ["GIMP Palette", f"Name: {name}", "#"]
    lines += [f"{r:3d} {g:3d} {b:3d}\t#{r:02x}{g:02x}{b:02x}" for r, g, b in rows.tolist()]
    return "\n".join(lines) + "\n"


def format_hex(palette: npt.ArrayLike) -> str:
    return "".join(f"{r:02x}{g:02x}{b:02x}\n" for r, g, b in _checked_8_bit(palette).tolist())


def format_jasc(palette: npt.ArrayLike) -> str:
    rows = _checked_8_bit(palette).tolist()
    # Paint Shop Pro writes CRLF line ends; readers everywhere expect them.
    return "".join(f"{line}\r\n" for line in ["JASC-PAL", "0100", str(len(rows))] + [f"{r} {g} {b}" for r, g, b in rows])


def format_act(palette: npt.ArrayLike) -> bytes:
    rows = _checked_8_bit(palette)
    if not 1 <= len(rows) <= _ACT_COLOURS:
        raise PaletteError(f"an Adobe colour table holds 1 to 256 colours, not {len(rows)}")
    table = np.zeros((_ACT_COLOURS, 3), dtype=np.uint8)
    table[: len(rows)] = rows
    trailer = len(rows).to_bytes(2, "big") + _ACT_NO_TRANSPARENT_INDEX.to_bytes(2, "big")
    return table.tobytes() + trailer


def _format_of(path: Path, data: bytes) -> str:
    head = data[:16].lstrip(b"\xef\xbb\xbf")
    if head.startswith(b"GIMP Palette"):
        return "gpl"
    if head.startswith(b"JASC-PAL"):
        return "jasc"
    if head.startswith(b"RIFF"):
        raise PaletteError(located(path, None, "RIFF (Microsoft) palettes are not supported; save it as .gpl or .pal (JASC)"))
    found = _EXTENSIONS.get(path.suffix.lower())
    if found is None:
        raise PaletteError(
            located(path, None, "unknown palette format: use a .gpl, .hex, .txt, .pal (JASC) or .act file")
        )
    return found


def read_palette(path: str | Path, *, drop_padding: bool = False) -> Palette:
    """Reads a palette file, choosing the format by its header, else its
    extension; `drop_padding` is for Adobe colour tables, see parse_act."""
    path = Path(path)
    try:
        data = path.read_bytes()
    except OSError as error:
        raise PaletteError(located(path, None, f"cannot read the palette: {error.strerror or error}")) from None
    kind = _format_of(path, data)
    if kind == "act":
        return parse_act(data, str(path), drop_padding=drop_padding)
    text = data.decode("utf-8-sig", errors="replace")
    return {"gpl": parse_gpl, "hex": parse_hex, "jasc": parse_jasc}[kind](text, str(path))


def format_for_writing(path: str | Path, *, otherwise: str = "") -> str:
    """The format (one of FORMATS) that write_palette chooses by the
    extension; `otherwise` ends the message when there is none."""
    path = Path(path)
    if path.suffix.lower() not in _EXTENSIONS:
        raise PaletteError(
            located(path, None, f"unknown palette format: use a .gpl, .hex, .txt, .pal (JASC) or .act file{otherwise}")
        )
    return _EXTENSIONS[path.suffix.lower()]


def write_palette(path: str | Path, palette: npt.ArrayLike, kind: str | None = None) -> None:
    """Writes `palette` as `kind` (one of FORMATS), by default by the extension."""
    path = Path(path)
    kind = kind or format_for_writing(path, otherwise=", or name the format")
    if kind == "act":
        path.write_bytes(format_act(palette))
    elif kind == "gpl":
        path.write_text(format_gpl(palette, path.stem), encoding="utf-8")
    elif kind == "hex":
        path.write_text(format_hex(palette), encoding="utf-8")
    elif kind == "jasc":
        path.write_bytes(format_jasc(palette).encode("ascii"))
    else:
        raise PaletteError(located(path, None, f"unknown palette format {kind!r}: use one of {', '.join(FORMATS)}"))


def _nearest_names(name: str) -> str:
    close = difflib.get_close_matches(name.lower(), PALETTES, n=3, cutoff=0.6)
    if not close:
        return ""
    listed = close[0] if len(close) == 1 else f"{', '.join(close[:-1])} or {close[-1]}"
    return f"did you mean {listed}? "


def load_palette(name_or_path: str | Path, *, drop_padding: bool = False) -> Palette:
    """A palette from a file if one exists at that path, else a built-in by name."""
    path = Path(name_or_path)
    if path.is_file():
        return read_palette(path, drop_padding=drop_padding)
    named = PALETTES.get(str(name_or_path).lower())
    if named is not None:
        return named.colours
    if path.is_dir():
        raise PaletteError(located(path, None, "is a folder, not a palette file"))
    if path.suffix or path.parent != Path("."):
        raise PaletteError(located(path, None, "no such palette file"))
    known = ", ".join(PALETTES)
    suggestion = _nearest_names(str(name_or_path))
    raise PaletteError(f"no palette named '{name_or_path}' and no such file; {suggestion}built-in palettes: {known}")
