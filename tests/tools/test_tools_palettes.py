import numpy as np
import pytest

from palettra_tools import (
    PALETTES,
    PaletteError,
    ToolsWarning,
    load_palette,
    parse_act,
    parse_gpl,
    parse_hex,
    parse_jasc,
    read_palette,
    write_palette,
)

RNG = np.random.default_rng(8)
SMALL = np.array([[0, 0, 0], [255, 255, 255], [18, 52, 86], [18, 52, 86], [255, 0, 7]], dtype=np.uint64)
RANDOM = RNG.integers(0, 256, size=(256, 3)).astype(np.uint64)
LARGE = RNG.integers(0, 256, size=(700, 3)).astype(np.uint64)


@pytest.mark.parametrize("suffix", [".gpl", ".hex", ".txt", ".pal", ".act"])
@pytest.mark.parametrize("palette", [SMALL, RANDOM, SMALL[:1]], ids=["small", "256", "one"])
def test_every_format_round_trips(tmp_path, suffix, palette):
    path = tmp_path / f"colours{suffix}"
    write_palette(path, palette)
    read = read_palette(path)
    assert read.dtype == np.uint64 and read.shape == palette.shape
    assert np.array_equal(read, palette)


@pytest.mark.parametrize("suffix", [".gpl", ".hex", ".pal"])
def test_text_formats_hold_more_than_256_colours(tmp_path, suffix):
    path = tmp_path / f"big{suffix}"
    write_palette(path, LARGE)
    assert np.array_equal(read_palette(path), LARGE)


def test_an_adobe_table_refuses_more_than_256_colours(tmp_path):
    with pytest.raises(PaletteError, match="holds 1 to 256 colours, not 700"):
        write_palette(tmp_path / "big.act", LARGE)


def test_gimp_palette_with_header_comments_and_names():
    text = (
        "GIMP Palette\r\nName: Sunset\r\nColumns: 4\r\n# a comment\r\n\r\n"
        "255   0   0\tRed\n  0 128 255 Sky blue\n#\n 12  34  56\n"
    )
    assert parse_gpl(text).tolist() == [[255, 0, 0], [0, 128, 255], [12, 34, 56]]


def test_hex_list_accepts_hashes_names_comments_short_forms_and_blank_lines():
    text = "; exported\n# warm colours\n#\n#FF0000 red\n\n00ff7f\r\n  #0a0B0c  \n0000ff\tdeep blue\n#f00\n1aF cyan\n"
    expected = [[255, 0, 0], [0, 255, 127], [10, 11, 12], [0, 0, 255], [255, 0, 0], [0x11, 0xAA, 0xFF]]
    assert parse_hex(text).tolist() == expected


def test_jasc_palette_with_crlf_and_trailing_blank_lines():
    text = "JASC-PAL\r\n0100\r\n2\r\n1 2 3\r\n250 251 252\r\n\r\n"
    assert parse_jasc(text).tolist() == [[1, 2, 3], [250, 251, 252]]


def test_adobe_table_without_trailer_has_256_colours():
    table = np.arange(768, dtype=np.uint64).reshape(256, 3) % 256
    palette = parse_act(table.astype(np.uint8).tobytes())
    assert np.array_equal(palette, table)


def test_adobe_table_padding_is_reported_and_can_be_dropped():
    colours = SMALL[[0, 1, 2, 4]][::-1]  # ends in black, as the padding does
    data = colours.astype(np.uint8).tobytes() + bytes(768 - 12)
    with pytest.warns(ToolsWarning, match="<act>: the last 253 of its 256 colours are all 000000, which looks like padding"):
        assert len(parse_act(data)) == 256
    assert np.array_equal(parse_act(data, drop_padding=True), colours[:3])
    assert parse_act(bytes(768), drop_padding=True).tolist() == [[0, 0, 0]]


@pytest.mark.parametrize(
    "name, kind, message",
    [
        ("x.xyz", None, "x.xyz: unknown palette format: use a .gpl, .hex, .txt, .pal (JASC) or .act file, or name the format"),
        ("x.gpl", "xyz", "x.gpl: unknown palette format 'xyz': use one of gpl, hex, jasc, act"),
    ],
)
def test_writing_an_unknown_format_says_which_there_are(tmp_path, monkeypatch, name, kind, message):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(PaletteError) as raised:
        write_palette(name, SMALL, kind)
    assert str(raised.value) == message and not (tmp_path / name).exists()


def test_adobe_table_trailer_counts_the_colours_and_transparency_is_ignored():
    data = bytes(range(30)) + bytes(738) + (3).to_bytes(2, "big") + (1).to_bytes(2, "big")
    assert parse_act(data).tolist() == [[0, 1, 2], [3, 4, 5], [6, 7, 8]]


@pytest.mark.parametrize(
    "name, content, message",
    [
        ("a.gpl", "GIMP palette\n0 0 0\n", "a.gpl:1: not a GIMP palette: the first line must be 'GIMP Palette'"),
        ("a.gpl", "", "a.gpl:1: not a GIMP palette"),
        (
            "a.gpl",
            "GIMP Palette\nName: x\n#\n1 2 3\n12 abc 3\n",
            "a.gpl:5: expected 'red green blue [name]' with values 0 to 255, got '12 abc 3'",
        ),
        ("a.gpl", "GIMP Palette\n0 0 0\n-1 0 0\n", "a.gpl:3: expected 'red green blue [name]'"),
        ("a.gpl", "GIMP Palette\n0 0\n", "a.gpl:2: expected 'red green blue [name]' with values 0 to 255, got '0 0'"),
        ("a.gpl", "GIMP Palette\n#\n\n0 0 0\n1 256 0\n", "a.gpl:5: value 256 is out of range 0 to 255"),
        ("a.gpl", "GIMP Palette\n1 2 3\nName: late\n", "a.gpl:3: expected 'red green blue [name]'"),
        ("a.gpl", "GIMP Palette\nName: empty\n# nothing\n", "a.gpl: the palette has no colours"),
        ("a.hex", "ff0000\n\nff00\n", "a.hex:3: expected a colour as six hex digits RRGGBB (or three, RGB), got 'ff00'"),
        ("a.txt", "ff0000\n#ggg000\n", "a.txt:2: expected a colour as six hex digits RRGGBB (or three, RGB), got '#ggg000'"),
        ("a.hex", "ff0000red\n", "a.hex:1: expected a colour as six hex digits RRGGBB (or three, RGB), got 'ff0000red'"),
        ("a.hex", "#comment\n", "a.hex:1: expected a colour as six hex digits RRGGBB (or three, RGB), got '#comment'"),
        ("a.hex", "; only a comment\n", "a.hex: the palette has no colours"),
        ("a.pal", "JASC-PAL\n0200\n1\n0 0 0\n", "a.pal:2: expected the version '0100', got '0200'"),
        ("a.pal", "JASC-PAL\n", "a.pal:2: expected the version '0100', got 'end of file'"),
        ("a.pal", "JASC-PAL\n0100\nmany\n", "a.pal:3: expected the number of colours, got 'many'"),
        ("a.pal", "JASC-PAL\n0100\n0\n", "a.pal:3: expected the number of colours, got '0'"),
        ("a.pal", "JASC-PAL\n0100\n3\n0 0 0\n1 1 1\n", "a.pal:5: the file ends after 2 of the 3 colours announced on line 3"),
        ("a.pal", "JASC-PAL\n0100\n2\n0 0 0\n1 1 1\n\n2 2 2\n", "a.pal:7: more colours than the 2 announced on line 3"),
        ("a.pal", "JASC-PAL\n0100\n1\n0 0 0 255\n", "a.pal:4: expected 'red green blue', got '0 0 0 255'"),
        ("a.pal", "JASC-PAL\n0100\n1\n0 300 0\n", "a.pal:4: value 300 is out of range 0 to 255"),
        ("a.act", bytes(100), "a.act: an Adobe colour table is 768 or 772 bytes long, this file has 100"),
        ("a.act", bytes(768) + b"\x00\x00\xff\xff", "a.act: colour count 0 at byte 768 is not between 1 and 256"),
        ("a.act", bytes(768) + b"\x01\x01\xff\xff", "a.act: colour count 257 at byte 768 is not between 1 and 256"),
        ("a.pal", b"RIFF\x10\x00\x00\x00PAL data", "a.pal: RIFF (Microsoft) palettes are not supported"),
        ("a.aco", b"\x00\x01\x00\x02", "a.aco: unknown palette format: use a .gpl, .hex, .txt, .pal (JASC) or .act file"),
    ],
)
def test_malformed_files_are_reported_with_their_line(tmp_path, monkeypatch, name, content, message):
    monkeypatch.chdir(tmp_path)
    data = content.encode() if isinstance(content, str) else content
    (tmp_path / name).write_bytes(data)
    with pytest.raises(PaletteError) as raised:
        read_palette(name)
    assert str(raised.value).startswith(message)


def test_format_comes_from_the_header_before_the_extension(tmp_path):
    path = tmp_path / "exported.txt"
    path.write_text("GIMP Palette\n1 2 3\n")
    assert read_palette(path).tolist() == [[1, 2, 3]]


def test_missing_palette_file(tmp_path):
    with pytest.raises(PaletteError, match="no such palette file"):
        load_palette(tmp_path / "gone.gpl")
    with pytest.raises(PaletteError, match="cannot read the palette"):
        read_palette(tmp_path / "gone.gpl")


def test_unknown_name_lists_the_built_in_palettes():
    with pytest.raises(PaletteError) as raised:
        load_palette("pico8")
    assert "no palette named 'pico8'" in str(raised.value)
    assert all(name in str(raised.value) for name in PALETTES)


def test_names_are_case_insensitive_and_an_existing_file_wins(tmp_path, monkeypatch):
    assert np.array_equal(load_palette("GameBoy"), PALETTES["gameboy"].colours)
    monkeypatch.chdir(tmp_path)
    (tmp_path / "cga").write_text("GIMP Palette\n9 9 9\n")
    assert load_palette("cga").tolist() == [[9, 9, 9]]


@pytest.mark.parametrize("name", sorted(PALETTES))
def test_named_palettes_are_distinct_8_bit_colours(name):
    palette = PALETTES[name]
    colours = palette.colours
    assert colours.dtype == np.uint64 and colours.ndim == 2 and colours.shape[1] == 3
    assert colours.max() <= 255
    assert len(np.unique(colours, axis=0)) == len(colours)
    assert palette.source and palette.description


def test_named_palette_sizes_and_known_colours():
    sizes = {name: len(p.colours) for name, p in PALETTES.items()}
    assert sizes == {"pico-8": 16, "gameboy": 4, "cga": 16, "cga-mode4": 4, "ega": 64, "web-safe": 216, "bw": 2,
                     "epaper-bwr": 3, "epaper-bwy": 3, "epaper-7": 7, "epaper-6": 6}  # fmt: skip
    assert PALETTES["epaper-7"].colours[6].tolist() == [0xFF, 0x80, 0x00]
    assert PALETTES["pico-8"].colours[8].tolist() == [0xFF, 0x00, 0x4D]
    assert PALETTES["gameboy"].colours[0].tolist() == [0x0F, 0x38, 0x0F]
    steps = {0, 0x33, 0x66, 0x99, 0xCC, 0xFF}
    assert set(PALETTES["web-safe"].colours.ravel().tolist()) == steps


def test_ega_default_colours_are_the_cga_colours():
    # The EGA powers up with these 16 of its 64 colour numbers, which show
    # the CGA's 16 colours, brown (number 20) included.
    default = [0, 1, 2, 3, 4, 5, 20, 7, 56, 57, 58, 59, 60, 61, 62, 63]
    assert np.array_equal(PALETTES["ega"].colours[default], PALETTES["cga"].colours)
    assert set(PALETTES["ega"].colours.ravel().tolist()) == {0, 0x55, 0xAA, 0xFF}


def test_named_palette_arrays_are_fresh_copies():
    first = PALETTES["bw"].colours
    first[0] = 7
    assert PALETTES["bw"].colours[0].tolist() == [0, 0, 0]
