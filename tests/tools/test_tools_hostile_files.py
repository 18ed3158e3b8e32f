"""Damaged and hostile palette and image files: the command answers each one
with its own one-line error and exit status, never a traceback."""

import contextlib
import io
import struct
import tempfile
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st
from PIL import Image
from support.png_writer import png_bytes

from palettra_tools.cli import EXIT_FAILED_IMAGES, EXIT_USAGE, main

GOOD_PALETTES = {
    "gpl": b"GIMP Palette\nName: test\nColumns: 4\n#\n  0   0   0\tblack\n255 128  64 orange\n",
    "hex": b"; colours\n000000\n#ff8040 orange\n",
    "pal": b"JASC-PAL\r\n0100\r\n2\r\n0 0 0\r\n255 128 64\r\n",
    "act": bytes(range(256)) * 3 + b"\x00\x02\xff\xff",
}
HUGE_NUMBERS = [b"256", b"-1", b"4294967296", b"9" * 30, b"9" * 5000, b"1e3", b"\xd9\xa3", b"0x10"]
MEGABYTE_LINE = b"1" * (1 << 20)


@st.composite
def damaged(draw, good):
    """`good` truncated, with bytes overwritten, with a line of its own put in, or all three."""
    data = bytearray(good)
    if draw(st.booleans()):
        del data[draw(st.integers(0, len(data))) :]
    for _ in range(draw(st.integers(0, 3))):
        if data:
            at = draw(st.integers(0, len(data) - 1))
            data[at : at + 1] = draw(st.binary(min_size=1, max_size=4))
    if draw(st.booleans()):
        line = draw(
            st.sampled_from([*HUGE_NUMBERS, MEGABYTE_LINE, b"\xff\xfe\x80", b"GIMP", b"JASC-PAL", b"1 2 3 " * 3])
        )
        at = draw(st.integers(0, len(data)))
        data[at:at] = b"\n" + line + b"\n"
    return bytes(data)


numbers = st.sampled_from(HUGE_NUMBERS) | st.integers(0, 300).map(lambda n: str(n).encode())


@st.composite
def text_palette(draw, kind):
    """A palette file of `kind` whose every number may be out of range."""
    rows = draw(st.lists(st.lists(numbers, min_size=2, max_size=4).map(b" ".join), max_size=4))
    if kind == "hex":
        rows = [row.replace(b" ", b"")[:6] for row in rows]
    header = {"gpl": [b"GIMP Palette"], "pal": [b"JASC-PAL", b"0100", draw(numbers)], "hex": []}[kind]
    return draw(st.sampled_from([b"\n", b"\r\n"])).join(header + rows)


palette_files = st.sampled_from(sorted(GOOD_PALETTES)).flatmap(
    lambda kind: st.tuples(
        st.just(kind), (st.just(GOOD_PALETTES[kind]) if kind == "act" else text_palette(kind)).flatmap(damaged)
    )
)


def image_files():
    rgb = np.arange(4 * 5 * 3).reshape(4, 5, 3)
    encoded = {"png16": png_bytes(rgb * 1000, bit_depth=16, filters=(0, 1, 2, 3, 4))}
    for form in ("PNG", "BMP", "GIF", "TIFF"):
        buffer = io.BytesIO()
        Image.fromarray(rgb.astype(np.uint8)).save(buffer, format=form)
        encoded[form.lower()] = buffer.getvalue()
    return encoded


IMAGES = image_files()


def huge_png():
    """A PNG header claiming far more pixels than any image may have."""
    data = bytearray(IMAGES["png16"])
    data[16:24] = struct.pack(">II", 0x7FFFFFFF, 0x7FFFFFFF)
    return bytes(data)


def run_command(*args):
    err = io.StringIO()
    with contextlib.redirect_stderr(err), contextlib.redirect_stdout(io.StringIO()):
        status = main([str(a) for a in args])
    return status, err.getvalue()


def assert_clean_error(status, err, failing_status):
    assert status in (0, failing_status)
    lines = err.splitlines()
    assert all(line.startswith(("palettra: warning: ", "palettra: error: ")) for line in lines), err[:2000]
    # However long the file's lines, what it quotes of them is short.
    assert all(len(line) < 500 for line in lines), err[:2000]
    errors = [line for line in lines if line.startswith("palettra: error: ")]
    assert len(errors) == (0 if status == 0 else 1), err[:2000]


SETTINGS = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@SETTINGS
@given(palette_files)
@example(("pal", b"JASC-PAL\n0100\n" + b"9" * 5000 + b"\n0 0 0\n"))  # a count past int()'s limit
@example(("gpl", b"GIMP Palette\n1 2 " + b"3" * 5000 + b"\n"))
@example(("pal", b"JASC-PAL\n0100\n" + b"9" * 30 + b"\n0 0 0\n"))  # a count no file can hold
@example(("hex", b"00ff00 " + MEGABYTE_LINE + b"\n\xff\xfe\n"))
@example(("gpl", b"GIMP Palette\n" + MEGABYTE_LINE))
@example(("act", GOOD_PALETTES["act"][:700]))
def test_any_palette_file_gives_a_clean_answer(file):
    kind, data = file
    with tempfile.TemporaryDirectory() as folder:
        folder = Path(folder)
        (folder / "in.png").write_bytes(IMAGES["png"])
        (folder / f"colours.{kind}").write_bytes(data)
        status, err = run_command(folder / "in.png", "-p", folder / f"colours.{kind}", "-o", folder / "out.png")
    assert_clean_error(status, err, EXIT_USAGE)


@pytest.mark.parametrize("kind", sorted(GOOD_PALETTES))
def test_good_palette_files_are_read(tmp_path, kind):
    (tmp_path / "in.png").write_bytes(IMAGES["png"])
    (tmp_path / f"colours.{kind}").write_bytes(GOOD_PALETTES[kind])
    assert run_command(tmp_path / "in.png", "-p", tmp_path / f"colours.{kind}", "-o", tmp_path / "out.png") == (0, "")


@SETTINGS
@given(st.sampled_from(sorted(IMAGES)).flatmap(lambda form: damaged(IMAGES[form])) | st.just(huge_png()))
def test_any_image_file_gives_a_clean_answer(data):
    with tempfile.TemporaryDirectory() as folder:
        folder = Path(folder)
        (folder / "in.png").write_bytes(data)
        status, err = run_command(folder / "in.png", "-p", "pico-8", "-o", folder / "out.png", "-q")
    assert_clean_error(status, err, EXIT_FAILED_IMAGES)
