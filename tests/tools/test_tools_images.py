import io
import re
import zlib

import numpy as np
import pytest
from PIL import ExifTags, Image, ImageCms, ImageOps
from support.icc import adobe_rgb_to_srgb, matrix_profile
from support.png_writer import png_bytes

from palettra_tools import ImageError, ImageTooLargeError, Picture, ToolsWarning, read_image, write_image

RNG = np.random.default_rng(16)


def sixteen_bit(shape):
    # Low and high bytes both vary, so a lost byte cannot go unnoticed.
    return RNG.integers(0, 65536, size=shape, dtype=np.uint16)


def pil_png(tmp_path, array, mode, name="in.png", **save):
    path = tmp_path / name
    Image.fromarray(array, mode).save(path, **save)
    return path


def test_8_bit_rgb_and_rgba_keep_their_samples(tmp_path):
    rgba = RNG.integers(0, 256, size=(5, 7, 4), dtype=np.uint8)
    picture = read_image(pil_png(tmp_path, rgba, "RGBA"))
    assert picture.bits == 8 and picture.rgb.dtype == np.uint8
    assert np.array_equal(picture.rgb, rgba[..., :3]) and np.array_equal(picture.alpha, rgba[..., 3])

    picture = read_image(pil_png(tmp_path, rgba[..., :3].copy(), "RGB"))
    assert picture.alpha is None and np.array_equal(picture.rgb, rgba[..., :3])


@pytest.mark.parametrize("channels", [3, 4, 2])
@pytest.mark.parametrize("filters", [(0,), (1,), (2,), (3,), (4,), (4, 3, 1, 0, 2)], ids=str)
def test_16_bit_pngs_keep_all_16_bits_through_every_row_filter(tmp_path, channels, filters):
    samples = sixteen_bit((6, 5, channels))
    path = tmp_path / "deep.png"
    path.write_bytes(png_bytes(samples, 16, filters))
    picture = read_image(path)
    assert picture.bits == 16 and picture.rgb.dtype == np.uint16
    if channels == 2:  # grey and alpha
        assert np.array_equal(picture.rgb, np.repeat(samples[..., :1], 3, axis=2))
        assert np.array_equal(picture.alpha, samples[..., 1])
    else:
        assert np.array_equal(picture.rgb, samples[..., :3])
        assert picture.alpha is None if channels == 3 else np.array_equal(picture.alpha, samples[..., 3])


def test_16_bit_grey_is_expanded_to_rgb(tmp_path):
    grey = sixteen_bit((4, 6, 1))
    path = tmp_path / "grey16.png"
    path.write_bytes(png_bytes(grey, 16, (4,)))
    picture = read_image(path)
    assert picture.bits == 16 and picture.alpha is None
    assert np.array_equal(picture.rgb, np.repeat(grey, 3, axis=2))


def test_8_bit_grey_and_grey_alpha_are_expanded(tmp_path):
    grey = RNG.integers(0, 256, size=(3, 4), dtype=np.uint8)
    picture = read_image(pil_png(tmp_path, grey, "L"))
    assert picture.bits == 8 and picture.alpha is None
    assert np.array_equal(picture.rgb, np.repeat(grey[..., None], 3, axis=2))

    grey_alpha = RNG.integers(0, 256, size=(3, 4, 2), dtype=np.uint8)
    picture = read_image(pil_png(tmp_path, grey_alpha, "LA"))
    assert np.array_equal(picture.rgb, np.repeat(grey_alpha[..., :1], 3, axis=2))
    assert np.array_equal(picture.alpha, grey_alpha[..., 1])


def test_transparency_key_becomes_alpha_at_16_bits(tmp_path):
    samples = sixteen_bit((3, 3, 3))
    samples[1, 2] = (1000, 2000, 3000)
    samples[0, 0] = (1000, 2000, 2999)  # differs from the key in the last bit only
    key = (1000).to_bytes(2, "big") + (2000).to_bytes(2, "big") + (3000).to_bytes(2, "big")
    path = tmp_path / "keyed.png"
    path.write_bytes(png_bytes(samples, 16, (1,), extra_chunks=[(b"tRNS", key)]))
    picture = read_image(path)
    expected = np.full((3, 3), 65535)
    expected[1, 2] = 0
    assert np.array_equal(picture.alpha, expected)


def test_indexed_input_with_transparency_gives_alpha(tmp_path):
    image = Image.fromarray(np.array([[0, 1], [2, 1]], dtype=np.uint8), "P")
    image.putpalette([10, 20, 30, 40, 50, 60, 70, 80, 90])
    path = tmp_path / "p.png"
    image.save(path, transparency=bytes([255, 0, 128]))
    picture = read_image(path)
    assert picture.rgb[1, 0].tolist() == [70, 80, 90]
    assert picture.alpha.tolist() == [[255, 0], [128, 0]]


@pytest.mark.parametrize("with_alpha", [False, True])
def test_16_bit_pictures_are_written_in_full(tmp_path, with_alpha):
    rgb = sixteen_bit((4, 5, 3))
    alpha = sixteen_bit((4, 5)) if with_alpha else None
    path = tmp_path / "out.png"
    write_image(path, Picture(rgb, alpha, 16))
    back = read_image(path)
    assert back.bits == 16 and np.array_equal(back.rgb, rgb)
    assert (back.alpha is None) if alpha is None else np.array_equal(back.alpha, alpha)
    # Any PNG reader can open it; Pillow shows the high bytes.
    with Image.open(path) as image:
        assert image.mode == ("RGBA" if with_alpha else "RGB")
        assert np.array_equal(np.asarray(image)[..., :3], rgb >> 8)


def test_8_bit_pictures_are_written_as_rgb_or_rgba(tmp_path):
    rgb = RNG.integers(0, 256, size=(3, 4, 3), dtype=np.uint8)
    alpha = RNG.integers(0, 256, size=(3, 4), dtype=np.uint8)
    write_image(tmp_path / "a.png", Picture(rgb, alpha, 8))
    with Image.open(tmp_path / "a.png") as image:
        assert image.mode == "RGBA"
        assert np.array_equal(np.asarray(image), np.dstack([rgb, alpha]))


def read_indexed(path):
    with Image.open(path) as image:
        assert image.mode == "P"
        transparency = image.info.get("transparency", b"")
        return np.asarray(image), np.array(image.getpalette()).reshape(-1, 3), transparency


def test_indexed_output_uses_the_palette_in_order(tmp_path):
    palette = np.array([[9, 9, 9], [255, 0, 0], [9, 9, 9], [0, 0, 255]])
    rgb = palette[[[3, 1], [0, 3]]].astype(np.uint8)
    write_image(tmp_path / "i.png", Picture(rgb, None, 8), indexed_palette=palette)
    indices, table, transparency = read_indexed(tmp_path / "i.png")
    assert indices.tolist() == [[3, 1], [0, 3]]  # a repeated colour gets its first index
    assert np.array_equal(table[:4], palette) and transparency == b""


def test_indexed_output_keeps_alpha_with_extra_entries(tmp_path):
    palette = np.array([[0, 0, 0], [255, 255, 255]])
    rgb = palette[[[0, 1, 1], [1, 0, 1]]].astype(np.uint16) * 257
    alpha = np.array([[65535, 0, 0], [257 * 128, 65535, 65535]], dtype=np.uint16)
    write_image(tmp_path / "i.png", Picture(rgb, alpha, 16), indexed_palette=palette)
    indices, table, transparency = read_indexed(tmp_path / "i.png")
    back = read_image(tmp_path / "i.png")
    assert np.array_equal(back.rgb, rgb // 257) and np.array_equal(back.alpha, alpha // 257)
    # Opaque pixels keep the palette's indices; each (colour, alpha) pair gets one more.
    assert indices[0, 0] == 0 and indices[1, 1] == 0 and indices[1, 2] == 1
    assert indices[0, 1] == indices[0, 2] >= 2 and indices[1, 0] >= 2 and indices[1, 0] != indices[0, 1]
    assert np.array_equal(table[:2], palette) and len(transparency) >= 4


def test_indexed_output_with_alpha_beyond_entry_127(tmp_path):
    palette = np.stack([np.arange(200), np.arange(200)[::-1], np.full(200, 7)], axis=1)
    rgb = palette[[[150, 199, 3]]].astype(np.uint8)
    alpha = np.array([[100, 0, 255]], np.uint8)
    write_image(tmp_path / "i.png", Picture(rgb, alpha, 8), indexed_palette=palette)
    back = read_image(tmp_path / "i.png")
    assert np.array_equal(back.rgb, rgb) and np.array_equal(back.alpha, alpha)


@pytest.mark.parametrize("target", ["i.png", "i.gif"])
def test_indexed_output_writes_a_given_index_map_as_it_is(tmp_path, target):
    palette = np.array([[9, 9, 9], [255, 0, 0], [9, 9, 9]])
    chosen = np.array([[2, 1], [0, 2]], np.uint8)
    alpha = np.array([[255, 0], [255, 255]], np.uint8)
    # Only the picture's size, depth and alpha are read, not its colours.
    picture = Picture(np.zeros((2, 2, 3), np.uint8), alpha, 8)
    write_image(tmp_path / target, picture, indexed_palette=palette, indices=chosen)
    indices, _, _ = read_indexed(tmp_path / target)
    assert indices[alpha == 255].tolist() == [2, 0, 2] and chosen.tolist() == [[2, 1], [0, 2]]
    with pytest.raises(ImageError, match="the index map does not fit the picture and the palette"):
        write_image(tmp_path / target, picture, indexed_palette=palette, indices=chosen + 1)


@pytest.mark.parametrize(
    "picture, palette, message",
    [
        (Picture(np.zeros((1, 1, 3), np.uint8), None, 8), np.zeros((257, 3)), "at most 256 colours, the palette has 257"),
        (Picture(np.full((1, 1, 3), 7, np.uint8), None, 8), np.zeros((1, 3)), "colours that are not in the palette"),
        (Picture(np.full((1, 1, 3), 7, np.uint16), None, 16), np.zeros((1, 3)), "16-bit colours would be rounded"),
        (
            Picture(np.zeros((1, 2, 3), np.uint16), np.array([[1, 65535]], np.uint16), 16),
            np.zeros((1, 3)),
            "16-bit alpha would be rounded",
        ),
        (
            Picture(np.zeros((1, 256, 3), np.uint8), np.arange(256, dtype=np.uint8).reshape(1, 256), 8),
            np.array([[0, 0, 0], [1, 1, 1]]),
            "at most 256 entries, this image needs 257",
        ),
    ],
    ids=["palette too large", "foreign colour", "16-bit colour", "16-bit alpha", "alpha pairs"],
)
def test_indexed_output_refuses_what_it_cannot_hold(tmp_path, picture, palette, message):
    with pytest.raises(ImageError, match=message):
        write_image(tmp_path / "i.png", picture, indexed_palette=palette)
    assert not (tmp_path / "i.png").exists()


def test_damaged_and_foreign_files_are_image_errors(tmp_path):
    (tmp_path / "text.png").write_text("hello")
    with pytest.raises(ImageError, match=r"text\.png: not an image file that Pillow can read"):
        read_image(tmp_path / "text.png")

    whole = io.BytesIO()
    Image.fromarray(RNG.integers(0, 256, (64, 64, 3), dtype=np.uint8)).save(whole, format="PNG")
    (tmp_path / "cut.png").write_bytes(whole.getvalue()[:200])
    with pytest.raises(ImageError, match=r"cut\.png: not a readable image: "):
        read_image(tmp_path / "cut.png")

    with pytest.raises(ImageError, match=r"gone\.png: cannot read: No such file"):
        read_image(tmp_path / "gone.png")


def test_floating_point_images_are_refused(tmp_path):
    path = tmp_path / "f.tiff"
    Image.fromarray(np.zeros((2, 2), np.float32), "F").save(path)
    with pytest.raises(ImageError, match="floating-point images are not supported"):
        read_image(path)


@pytest.mark.parametrize("orientation", range(1, 9))
def test_exif_orientation_is_applied_as_viewers_do(tmp_path, orientation):
    exif = Image.Exif()
    exif[ExifTags.Base.Orientation] = orientation
    path = tmp_path / "phone.jpg"
    Image.fromarray(RNG.integers(0, 256, size=(4, 6, 3), dtype=np.uint8)).save(path, exif=exif)
    with Image.open(path) as image:
        stored, upright = np.asarray(image), np.asarray(ImageOps.exif_transpose(image))
    assert np.array_equal(read_image(path).rgb, upright)
    assert np.array_equal(read_image(path, upright=False).rgb, stored)


def test_an_embedded_colour_profile_is_converted_to_srgb(tmp_path):
    path = tmp_path / "adobe.jpg"
    stored = (200, 60, 40)
    Image.new("RGB", (6, 4), stored).save(path, quality=100, subsampling=0, icc_profile=matrix_profile("Adobe RGB (1998)"))
    converted = read_image(path).rgb.reshape(-1, 3).astype(int)
    assert np.abs(converted - adobe_rgb_to_srgb(stored)).max() <= 3  # the JPEG codec is off by one, red amplifies it
    as_stored = read_image(path, srgb=False).rgb.reshape(-1, 3).astype(int)
    assert np.abs(as_stored - stored).max() <= 1

    # An sRGB profile leaves every value exactly as it is.
    rgb = RNG.integers(0, 256, size=(5, 5, 3), dtype=np.uint8)
    srgb = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
    assert np.array_equal(read_image(pil_png(tmp_path, rgb, "RGB", icc_profile=srgb)).rgb, rgb)


@pytest.mark.parametrize(
    "name, message",
    [("deep", r"deep\.png: its colour profile \(Adobe RGB \(1998\)\) cannot be applied at 16 bits"),
     ("grey", r"grey\.png: an L image with an RGB colour profile \(Adobe RGB \(1998\)\) cannot be converted to sRGB"),
     ("short", r"short\.png: the PNG decoder warns: iCCP: ")],
)  # fmt: skip
def test_a_profile_that_cannot_be_applied_is_reported(tmp_path, capfd, name, message):
    profile = matrix_profile("Adobe RGB (1998)")
    samples = sixteen_bit((2, 3, 3))
    path = tmp_path / f"{name}.png"
    if name == "grey":
        samples = samples[..., 0].astype(np.uint8)
        Image.fromarray(samples, "L").save(path, icc_profile=profile)
        samples = np.repeat(samples[..., np.newaxis], 3, axis=2)
    else:
        # A profile cut short is one the PNG library itself complains about.
        chunk = b"Adobe RGB\0\0" + zlib.compress(profile if name == "deep" else profile[:20])
        path.write_bytes(png_bytes(samples, 16, (0,), extra_chunks=[(b"iCCP", chunk)]))
    with pytest.warns(ToolsWarning) as caught:
        picture = read_image(path)
    assert any(re.match(message, str(warning.message).rsplit("/", 1)[-1]) for warning in caught)
    assert np.array_equal(picture.rgb, samples)
    assert capfd.readouterr().err == ""


def test_the_pixel_limit_is_the_callers_not_pillows(tmp_path, monkeypatch):
    path = pil_png(tmp_path, np.zeros((10, 20, 3), np.uint8), "RGB")
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 50)  # Pillow would warn, and refuse from 100
    assert read_image(path, max_pixels=None).rgb.shape == (10, 20, 3)
    with pytest.raises(ImageTooLargeError, match=r"in\.png: 20×10 is 200 pixels, more than the limit of 199$"):
        read_image(path, max_pixels=199)
    assert Image.MAX_IMAGE_PIXELS == 50


def test_written_to_a_file_object_or_never_over_an_existing_file(tmp_path):
    picture = Picture(RNG.integers(0, 256, (3, 4, 3), dtype=np.uint8), None, 8)
    stream = io.BytesIO()
    write_image(stream, picture, format="WebP")
    stream.seek(0)
    assert np.array_equal(read_image(stream).rgb, picture.rgb)
    kept = tmp_path / "kept.png"
    kept.write_bytes(b"mine")
    with pytest.raises(ImageError, match=r"kept\.png: exists, and is left as it is"):
        write_image(kept, picture, overwrite=False)
    write_image(tmp_path / "new.png", picture, overwrite=False)
    assert kept.read_bytes() == b"mine" and sorted(p.name for p in tmp_path.iterdir()) == ["kept.png", "new.png"]
    assert np.array_equal(read_image(tmp_path / "new.png").rgb, picture.rgb)


@pytest.mark.parametrize("channels, dtype", [(3, np.uint8), (4, np.uint16)])
def test_pngs_written_band_by_band_decode_to_the_picture_through_every_filter(tmp_path, channels, dtype):
    # Smooth with a little noise and a stripe of nothing but noise, in more
    # rows than one band: each of the five row filters wins somewhere.
    top = np.iinfo(dtype).max
    down, across = np.linspace(0, top, 300)[:, None, None], np.linspace(0, top, 260)[None, :, None]
    ramp = down * np.linspace(0.2, 1, channels) + across
    pixels = np.clip(ramp / 2.3 + RNG.integers(0, top // 64, (300, 260, channels)), 0, top).astype(dtype)
    pixels[140:150] = RNG.integers(0, top, (10, 260, channels), endpoint=True)
    picture = Picture(pixels[..., :3], pixels[..., 3] if channels == 4 else None, 8 * pixels.itemsize)
    write_image(tmp_path / "out.png", picture)
    data = (tmp_path / "out.png").read_bytes()
    chunks, at = [], 8
    while at < len(data):
        (length,) = np.frombuffer(data[at : at + 4], ">u4")
        chunks.append((data[at + 4 : at + 8], data[at + 8 : at + 8 + length]))
        at += 12 + length
    rows = zlib.decompress(b"".join(payload for kind, payload in chunks if kind == b"IDAT"))
    assert set(rows[:: 1 + 260 * channels * pixels.itemsize]) == {0, 1, 2, 3, 4}
    read = read_image(tmp_path / "out.png")
    assert np.array_equal(read.rgb, picture.rgb) and (channels == 3 or np.array_equal(read.alpha, picture.alpha))
