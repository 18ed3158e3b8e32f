import io

import numpy as np
import pytest
from PIL import Image

from palettra_tools import PALETTES, Picture, convert_picture, dither, indices, make_palette, quantize, read_image, write_image

PICO = PALETTES["pico-8"].colours
RNG = np.random.default_rng(23)
GREY = RNG.integers(0, 256, (9, 11), dtype=np.uint8)
RGB = RNG.integers(0, 256, (9, 11, 3), dtype=np.uint8)
# Fully transparent, partly transparent and opaque pixels; a GIF holds the first and the last only.
ALPHA = RNG.choice(np.array([0, 77, 255], np.uint8), (9, 11))
BINARY_ALPHA = np.where(ALPHA == 77, 255, ALPHA).astype(np.uint8)
P_COLOURS = RNG.integers(0, 256, (40, 3), dtype=np.uint8)
P_ROWS = RNG.integers(0, 40, (9, 11), dtype=np.uint8)
GREY16 = RNG.integers(0, 65536, (9, 11), dtype=np.uint16)


def p_image(transparent=None):
    image = Image.fromarray(P_ROWS, "P")
    image.putpalette(P_COLOURS.tobytes())
    if transparent is not None:
        image.info["transparency"] = transparent
    return image


# A Pillow image of each mode, with its colours (at its depth) and 8-bit alpha drawn here.
MODES = {
    "RGB": (lambda: Image.fromarray(RGB), RGB, None),
    "RGBA": (lambda: Image.fromarray(np.dstack([RGB, ALPHA])), RGB, ALPHA),
    "RGBA binary": (lambda: Image.fromarray(np.dstack([RGB, BINARY_ALPHA])), RGB, BINARY_ALPHA),
    "L": (lambda: Image.fromarray(GREY, "L"), np.dstack([GREY] * 3), None),
    "LA": (lambda: Image.fromarray(np.dstack([GREY, BINARY_ALPHA]), "LA"), np.dstack([GREY] * 3), BINARY_ALPHA),
    "P": (p_image, P_COLOURS[P_ROWS], None),
    "P transparent": (lambda: p_image(3), P_COLOURS[P_ROWS], np.where(P_ROWS == 3, 0, 255).astype(np.uint8)),
    "I;16": (lambda: Image.fromarray(GREY16), np.dstack([GREY16] * 3), None),
}


def written(image, file_format):
    buffer = io.BytesIO()
    image.save(buffer, format=file_format)
    buffer.seek(0)
    return Image.open(buffer)


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("method, metric", [("none", "rgb"), ("none", "lab"), ("floyd-steinberg", "rgb"), ("bayer4", "lab")])
def test_quantize_gives_the_palette_and_the_exact_index_map_as_pillow_decodes_them(mode, method, metric):
    make, colours, alpha = MODES[mode]
    scale = 257 if colours.dtype == np.uint16 else 1
    expected = dither(colours, PICO * scale, method, metric=metric)
    made = quantize(make(), PICO, dither=method, metric=metric)
    opaque = np.ones(expected.shape, bool) if alpha is None else alpha == 255
    formats = ["PNG"] if alpha is not None and np.any(alpha == 77) else ["PNG", "GIF"]
    for decoded in [made] + [written(made, f) for f in formats]:
        assert decoded.mode == "P"
        if decoded.format != "GIF":  # Pillow's GIF writer drops unused entries and reorders the rest
            assert decoded.getpalette()[: 3 * len(PICO)] == PICO.ravel().tolist()
            assert np.array_equal(np.asarray(decoded)[opaque], expected[opaque])
        rgba = np.asarray(decoded.convert("RGBA"))
        assert np.array_equal(rgba[..., 3], np.full(expected.shape, 255) if alpha is None else alpha)
        shown = rgba[..., 3] != 0
        assert np.array_equal(rgba[..., :3][shown], PICO[expected][shown])


@pytest.mark.parametrize("mode", ["RGB", "I;16"])
def test_made_palettes_are_make_palettes_in_8_bits(mode):
    make, colours, _ = MODES[mode]
    made = make_palette(colours, 6)
    if colours.dtype == np.uint16:
        made = (2 * made + 257) // 514
    result = quantize(make(), colours=6)
    assert result.getpalette() == made.ravel().tolist()
    assert np.array_equal(np.asarray(result), indices(colours, made * (257 if mode == "I;16" else 1)))


def test_a_transparent_picture_without_counted_pixels_still_gets_an_image():
    result = quantize(Image.new("RGBA", (3, 2)), colours=4)
    assert np.asarray(result.convert("RGBA"))[..., 3].max() == 0


# One image as each of the things the functions take, and what each gives back comparably.
FORMS = {
    "Picture": lambda: Picture(RGB, ALPHA, 8),
    "array": lambda: np.dstack([RGB, ALPHA]),
    "Pillow": lambda: Image.fromarray(np.dstack([RGB, ALPHA])),
}


def written_bytes(image):
    buffer = io.BytesIO()
    write_image(buffer, image, format="png")
    return np.asarray(Image.open(io.BytesIO(buffer.getvalue())))


@pytest.mark.parametrize(
    "call",
    [
        lambda image: indices(image, PICO),
        lambda image: dither(image, PICO, "atkinson"),
        lambda image: make_palette(image, 5),
        lambda image: np.dstack([(p := convert_picture(image, PICO)).rgb, p.alpha]),
        written_bytes,
        lambda image: np.asarray(quantize(image, PICO)),
    ],
    ids=["indices", "dither", "make_palette", "convert_picture", "write_image", "quantize"],
)
def test_every_function_takes_a_picture_an_array_and_a_pillow_image_alike(call):
    results = [call(make()) for make in FORMS.values()]
    assert all(np.array_equal(results[0], result) for result in results[1:])


class Stream(io.RawIOBase):
    """A pipe's end: it reads, and cannot seek."""

    def __init__(self, data):
        self.data = io.BytesIO(data)

    def readable(self):
        return True

    def readinto(self, buffer):
        return self.data.readinto(buffer)


@pytest.mark.parametrize("file_format", ["png", "gif", "webp"])
def test_files_are_paths_or_binary_file_objects(tmp_path, file_format):
    palette = PALETTES["cga"].colours
    picture = convert_picture(np.dstack([RGB, BINARY_ALPHA]), palette)
    indexed = palette if file_format == "gif" else None
    write_image(tmp_path / f"a.{file_format}", picture, indexed)
    with open(tmp_path / f"b.{file_format}", "wb") as named:  # by the name's extension
        write_image(named, picture, indexed)
    buffer = io.BytesIO()
    write_image(buffer, picture, indexed, format=file_format)
    data = (tmp_path / f"a.{file_format}").read_bytes()
    assert (tmp_path / f"b.{file_format}").read_bytes() == buffer.getvalue() == data
    after_a_header = io.BytesIO(b"head" + data)
    after_a_header.read(4)
    for source in [tmp_path / f"a.{file_format}", io.BytesIO(data), Stream(data), after_a_header]:
        read = read_image(source)
        shown = picture.alpha != 0  # a GIF keeps no colour under transparent pixels
        assert np.array_equal(read.rgb[shown], picture.rgb[shown]) and np.array_equal(read.alpha, picture.alpha)
