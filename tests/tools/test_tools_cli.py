import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from PIL import ExifTags, Image
from support.icc import adobe_rgb_to_srgb, matrix_profile
from support.png_writer import png_bytes

import palettra
from palettra_tools import PALETTES, Picture, cli, dither, make_palette, map_colours, read_image, read_palette

RNG = np.random.default_rng(42)
PICO = PALETTES["pico-8"].colours


def palettra_command(*args, cwd, script=False):
    command = [str(Path(sys.executable).with_name("palettra"))] if script else [sys.executable, "-m", "palettra_tools"]
    return subprocess.run(command + [str(a) for a in args], cwd=cwd, capture_output=True, text=True, timeout=120)


def assert_no_traceback(done):
    assert "Traceback" not in done.stderr and "Traceback" not in done.stdout


@pytest.fixture
def images(tmp_path):
    rgb = RNG.integers(0, 256, size=(12, 9, 3), dtype=np.uint8)
    rgb[0, 0] = PICO[7]  # already a palette colour: stays as it is
    rgba = RNG.integers(0, 256, size=(7, 10, 4), dtype=np.uint8)
    cutout = rgba.copy()
    cutout[..., 3] = np.where(rgba[..., 3] < 128, 0, 255)
    Image.fromarray(rgb).save(tmp_path / "photo.png")
    Image.fromarray(rgba, "RGBA").save(tmp_path / "sprite.png")
    Image.fromarray(cutout, "RGBA").save(tmp_path / "cutout.png")
    return {"photo": rgb, "sprite": rgba, "cutout": cutout}


def test_converts_one_image_with_a_built_in_palette(tmp_path, images):
    done = palettra_command("photo.png", "--palette", "pico-8", "-o", "new/out.png", cwd=tmp_path, script=True)
    assert done.returncode == 0, done.stderr
    out = read_image(tmp_path / "new/out.png")
    assert np.array_equal(out.rgb, palettra.convert(images["photo"], PICO))
    assert done.stdout == "photo.png -> new/out.png: 107 of 108 pixels changed (99.1%)\n"
    assert done.stderr == ""


def test_batch_writes_beside_the_inputs_and_keeps_alpha(tmp_path, images):
    done = palettra_command("photo.png", "sprite.png", "-p", "gameboy", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    sprite = read_image(tmp_path / "sprite-gameboy.png")
    assert np.array_equal(sprite.alpha, images["sprite"][..., 3])
    assert np.array_equal(sprite.rgb, palettra.convert(images["sprite"], PALETTES["gameboy"].colours))
    assert (tmp_path / "photo-gameboy.png").is_file()
    assert done.stdout.splitlines()[-1] == "2 of 2 images converted"


@pytest.mark.parametrize("args, written", [
    (["photo.png", "cutout.png", "-p", "gameboy", "--out-dir", "out", "--format", "webp"],
     {"out/photo.webp": "photo", "out/cutout.webp": "cutout"}),
    (["photo.png", "cutout.png", "-p", "gameboy", "--format", "gif"],
     {"photo-gameboy.gif": "photo", "cutout-gameboy.gif": "cutout"}),
    (["-", "-p", "gameboy", "-o", "-", "--format", "gif"], {"-": "photo"}),
])  # fmt: skip
def test_outputs_in_any_format_in_folders_or_on_standard_output(tmp_path, images, args, written):
    with (tmp_path / "photo.png").open("rb") as stdin:
        done = subprocess.run([sys.executable, "-m", "palettra_tools", *args], cwd=tmp_path, stdin=stdin,
                              capture_output=True, timeout=120)  # fmt: skip
    assert done.returncode == 0, done.stderr
    if "-" in written:
        assert done.stderr.decode().startswith("standard input -> standard output: ")
        (tmp_path / "-").write_bytes(done.stdout)
    for name, source in written.items():
        out = read_image(tmp_path / name)
        shown = ... if out.alpha is None else out.alpha != 0
        assert np.array_equal(out.rgb[shown], palettra.convert(images[source], PALETTES["gameboy"].colours)[shown])


def test_alpha_threshold_makes_alpha_all_or_nothing(tmp_path, images):
    done = palettra_command("sprite.png", "-p", "cga", "-o", "x.gif", "--alpha-threshold", "100", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert np.array_equal(read_image(tmp_path / "x.gif").alpha, np.where(images["sprite"][..., 3] < 100, 0, 255))


def test_a_bad_file_fails_alone(tmp_path, images):
    (tmp_path / "notes.png").write_text("not a picture")
    done = palettra_command("notes.png", "missing.png", "photo.png", "-p", "cga", "--out-dir", "out/new", cwd=tmp_path)
    assert done.returncode == 1
    assert done.stderr.splitlines() == [
        "palettra: error: notes.png: not an image file that Pillow can read",
        "palettra: error: missing.png: cannot read: No such file or directory",
    ]
    assert sorted(p.name for p in (tmp_path / "out/new").iterdir()) == ["photo.png"]
    assert done.stdout.splitlines()[-1] == "1 of 3 images converted"
    assert_no_traceback(done)


@pytest.mark.parametrize(
    "args, message, status",
    [
        (["photo.png", "-p", "pico8"], "no palette named 'pico8' and no such file; did you mean pico-8? built-in palettes: ", 2),
        (["photo.png", "-p", "colours.gpl"], "colours.gpl:3: value 300 is out of range 0 to 255", 2),
        (["photo.png", "-p", "nowhere/x.gpl"], "nowhere/x.gpl: no such palette file", 2),
        (["photo.png", "-p", "folder.gpl"], "folder.gpl: is a folder, not a palette file", 2),
        (["photo.png"], "--palette NAME|FILE is required", 2),
        (["-p", "cga"], "no INPUT images given", 2),
        ([".", "-p", "cga"], ".: is a folder; name the images in it instead (for example *.png)", 2),
        (["/", "-p", "cga"], "/: is a folder; name the images in it instead (for example /*.png)", 2),
        (["photo.png", "sprite.png", "-p", "cga", "-o", "x.png"], "-o names one output, but there are 2 inputs", 2),
        (["photo.png", "-p", "cga", "-o", "x.jpg"], "x.jpg: JPEG is lossy, so it would not keep the palette's colours exactly", 2),
        (["photo.png", "-p", "cga", "-o", "x.bmp"], "x.bmp: unknown output format '.bmp': write .png, .gif or .webp", 2),
        (["photo.png", "-p", "cga", "-o", "taken.png"], "taken.png: is a folder; the output must be a file name (--out-dir writes into a folder)", 2),
        (["photo.png", "-p", "cga", "-o", "taken"], "taken: is a folder; the output must be a file name", 2),
        (["photo.png", "-p", "cga", "--out-dir", "taken"], "taken/photo.png: is a folder; the output must be a file name\n", 2),
        (["photo.png", "-p", "cga", "-o", "new/"], "new/: names a folder; -o takes a file name", 2),
        (["photo.png", "-p", "cga", "-o", "photo.png"], "photo.png: the output would overwrite an input\n", 2),
        (["photo.png", "-p", "cga", "-o", "x.png", "--format", "gif"], "x.png: the extension names PNG, --format gif: give one", 2),
        (["photo.png", "-p", "cga", "--format", "bmp"], "argument --format: invalid choice: 'bmp'", 2),
        (["-", "-p", "cga"], "- reads one image from standard input, the only INPUT, and needs -o OUT", 2),
        (["-", "photo.png", "-p", "cga", "--out-dir", "o"], "- reads one image from standard input, the only INPUT", 2),
        (["photo.png", "-p", "cga", "-o", "cutout.png", "--no-clobber"], "photo.png: cutout.png exists, and --no-clobber leaves it as it is", 1),
        (["photo.png", "-p", "cga", "--skip-existing", "--no-clobber"], "--skip-existing and --no-clobber: give one", 2),
        (["photo.png", "-p", "cga", "-o", "/proc/x.png"], "/proc/x.png: cannot write: ", 1),
        (["--show-palette", "cga", "-o", "/proc/x.png"], "/proc/x.png: cannot write: ", 1),
        (["photo.png", "-p", "cga", "--serpentine"], "--serpentine goes with error diffusion (--dither floyd-steinberg, ...): without it", 2),
        (["photo.png", "-p", "cga", "--dither", "bayer4", "--serpentine"], "--serpentine goes with error diffusion (--dither floyd-steinberg, ...): an ordered", 2),
        (["photo.png", "-p", "cga", "--strength", "0.5"], "--strength goes with --dither METHOD", 2),
        (["photo.png", "-p", "cga", "--light", "srgb"], "--light goes with --dither METHOD", 2),
        (["photo.png", "-p", "cga", "--dither", "atkinson", "--strength", "1.5"], "--strength must lie in 0 to 1, got 1.5", 2),
        (["photo.png", "-p", "cga", "--dither", "blue"], "argument --dither: invalid choice: 'blue'", 2),
        (["photo.png", "-p", "cga", "--drop-padding"], "--drop-padding goes with an .act palette file", 2),
        (["--show-palette", "big.hex", "-o", "x.png", "--drop-padding"], "--drop-padding goes with an .act palette file", 2),
        (["photo.png", "--list-palettes"], "--list-palettes takes no INPUT images", 2),
        (["photo.png", "-p", "cga", "--alpha-threshold", "256"], "argument --alpha-threshold: expected an alpha level 0 to 255, got '256'", 2),
        (["photo.png", "-p", "cga", "--bogus"], "unrecognized arguments: --bogus", 2),
        (["photo.png", "a/photo.png", "-p", "cga", "--out-dir", "o"], "photo.png and a/photo.png would both be written", 2),
        (["photo.png", "-p", "cga", "--out-dir", "big.hex"], "big.hex: --out-dir names a file, not a folder", 2),
        (["photo.png", "-p", "cga", "-o", "big.hex/x.png"], "big.hex/x.png: cannot be written, big.hex is a file, not a folder", 2),
        (["photo.png", "-p", "big.hex", "--indexed"], "--indexed needs a palette of at most 256 colours; this one has 300", 2),
        (["photo.png", "-p", "big.hex", "-o", "x.gif"], "x.gif: a GIF holds at most 256 colours, this palette has 300", 2),
        (["photo.png", "-p", "cga", "-o", "x.webp", "--indexed"], "x.webp: WebP has no indexed form", 2),
        (["photo.png", "-p", "cga", "--metric", "hsv"], "argument --metric: invalid choice: 'hsv'", 2),
        (["photo.png", "-p", "cga", "--max-pixels", "-1"], "argument --max-pixels: expected a number of pixels, 0 for no limit, got '-1'", 2),
        (["photo.png", "-p", "cga", "--max-pixels", "107"], "photo.png: 9×12 is 108 pixels, more than the limit of 107; --max-pixels N allows more", 1),
        (["sprite.png", "-p", "web-safe", "--indexed"], "sprite.png: an indexed image holds at most 256 entries, and the palette's 216 colours and this image's ", 1),
        (["sprite.png", "-p", "cga", "-o", "x.gif"], "sprite.png: a GIF pixel is either transparent or opaque, and this image has partly transparent ones: --alpha-threshold A", 1),
        (["photo.png", "-p", "cga", "--colours", "4"], "--palette and --colours N both name a palette: give one", 2),
        (["photo.png", "-p", "cga", "--shared-palette"], "--shared-palette and --save-palette go with --colours N", 2),
        (["photo.png", "sprite.png", "--colours", "4", "--save-palette", "p.gpl"], "--save-palette with several INPUTs needs --shared-palette", 2),
        (["photo.png", "--colours", "4", "--save-palette", "p.png"], "p.png: unknown palette format: use a .gpl, .hex, .txt, .pal (JASC) or .act file\n", 2),
        (["photo.png", "--colours", "0"], "argument --colours: expected a number of colours of at least 1, got '0'", 2),
        (["photo.png", "-p", "cga", "--threads", "0"], "argument --threads: expected a number of threads of at least 1, got '0'", 2),
        (["photo.png", "--colours", "300", "-o", "x.gif"], "x.gif: a GIF holds at most 256 colours, this palette has 300", 2),
        (["--show-palette", "cga"], "--show-palette NAME|FILE takes no INPUT images and writes -o OUT", 2),
        (["--show-palette", "cga", "-o", "x.gif"], "x.gif: a swatch sheet has more colours than a GIF holds: write .png", 2),
        (["--show-palette", "pico8", "-o", "x.png"], "no palette named 'pico8' and no such file; did you mean pico-8?", 2),
    ],
)
def test_every_mistake_has_a_message_and_an_exit_status(tmp_path, images, args, message, status):
    (tmp_path / "colours.gpl").write_text("GIMP Palette\n1 2 3\n4 300 6\n")
    (tmp_path / "big.hex").write_text("".join(f"{i:06x}\n" for i in range(300)))
    (tmp_path / "folder.gpl").mkdir()
    (tmp_path / "taken.png").mkdir()
    (tmp_path / "taken" / "photo.png").mkdir(parents=True)
    before = sorted(tmp_path.iterdir())
    done = palettra_command(*args, cwd=tmp_path)
    assert done.returncode == status
    # One line, without the usage block.
    assert done.stderr.startswith(f"palettra: error: {message}") and done.stderr.count("\n") == 1
    assert_no_traceback(done)
    assert sorted(tmp_path.iterdir()) == before


def test_palette_files_and_indexed_output(tmp_path, images):
    (tmp_path / "mine.pal").write_text("JASC-PAL\r\n0100\r\n3\r\n0 0 0\r\n255 255 255\r\n200 30 30\r\n")
    done = palettra_command("sprite.png", "-p", "mine.pal", "--indexed", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    with Image.open(tmp_path / "sprite-mine.png") as image:
        assert image.mode == "P"
        assert image.getpalette()[:9] == [0, 0, 0, 255, 255, 255, 200, 30, 30]
    out = read_image(tmp_path / "sprite-mine.png")
    assert np.array_equal(out.alpha, images["sprite"][..., 3])
    palette = np.array([[0, 0, 0], [255, 255, 255], [200, 30, 30]], dtype=np.uint64)
    assert np.array_equal(out.rgb, palettra.convert(images["sprite"], palette))


def test_16_bit_images_stay_16_bit(tmp_path):
    samples = RNG.integers(0, 65536, size=(5, 6, 4), dtype=np.uint16)
    (tmp_path / "deep.png").write_bytes(png_bytes(samples, 16, (4,)))
    done = palettra_command("deep.png", "-p", "ega", "-o", "deep-out.png", "--metric", "lab", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    out = read_image(tmp_path / "deep-out.png")
    assert out.bits == 16 and np.array_equal(out.alpha, samples[..., 3])
    ega16 = PALETTES["ega"].colours * np.uint64(257)
    assert np.array_equal(out.rgb, map_colours(samples, ega16, metric="lab", bits=16))


def test_progress_shows_each_phase_and_output_is_deterministic(tmp_path, images):
    first = palettra_command("photo.png", "-p", "web-safe", "-o", "a.png", "--progress", cwd=tmp_path)
    second = palettra_command("photo.png", "-p", "web-safe", "-o", "b.png", "-q", cwd=tmp_path)
    assert first.returncode == second.returncode == 0
    # Redrawn in place: each carriage return reads as a line break here.
    assert [line.rstrip() for line in first.stderr.splitlines()] == [
        "",
        "photo.png  reading ...",
        "photo.png  mapping ...",
        f"photo.png  mapping [{'#' * 30}] 100%",
        "photo.png  writing ...",
        f"photo.png  writing [{'#' * 30}] 100%",
        "photo.png  done",
    ]
    assert second.stdout == "" and second.stderr == ""
    assert (tmp_path / "a.png").read_bytes() == (tmp_path / "b.png").read_bytes()


@pytest.mark.parametrize("phase, where", [("mapping", "index_picture"), ("writing", "write_image")])
def test_interrupted_starts_a_line_of_its_own(tmp_path, images, monkeypatch, capsys, phase, where):
    def interrupt(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(cli, where, interrupt)
    monkeypatch.chdir(tmp_path)
    assert cli.main(["photo.png", "-p", "cga", "--progress"]) == 130
    shown, message = capsys.readouterr().err.rsplit("\n", 2)[:2]
    assert shown.rsplit("\r", 1)[-1].startswith(f"photo.png  {phase} ...") and message == "palettra: interrupted"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["cutout.png", "photo.png", "sprite.png"]


def test_a_batch_is_re_run_with_skip_existing(tmp_path, images):
    assert palettra_command("photo.png", "sprite.png", "-p", "pico-8", cwd=tmp_path).returncode == 0
    (tmp_path / "sprite-pico-8.png").unlink()
    # What shots/*.png matches now: the inputs and what is left of the first run's outputs.
    again = ["photo-pico-8.png", "photo.png", "sprite.png"]
    refused = palettra_command(*again, "-p", "pico-8", cwd=tmp_path)
    assert refused.returncode == 2 and "(to re-run a batch, add --skip-existing)" in refused.stderr
    done = palettra_command(*again, "-p", "pico-8", "--skip-existing", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "photo-pico-8.png: skipped, it is the output of photo.png",
        "photo.png: skipped, photo-pico-8.png exists",
        "sprite.png -> sprite-pico-8.png: 70 of 70 pixels changed (100.0%)",
        "1 of 1 images converted, 2 skipped",
    ]
    assert sorted(p.name for p in tmp_path.glob("*-pico-8*")) == ["photo-pico-8.png", "sprite-pico-8.png"]


def test_act_padding_is_reported_and_can_be_left_out(tmp_path, images):
    colours = PICO[1:]  # no black among them
    (tmp_path / "padded.act").write_bytes(colours.astype(np.uint8).tobytes() + bytes(768 - 45))
    kept = palettra_command("photo.png", "-p", "padded.act", "-o", "kept.png", cwd=tmp_path)
    assert kept.stderr == (
        "palettra: warning: padded.act: the last 241 of its 256 colours are all 000000, which looks like padding: "
        "they are used as colours (--drop-padding leaves them out)\n"
    )
    dropped = palettra_command("photo.png", "-p", "padded.act", "-o", "dropped.png", "--drop-padding", cwd=tmp_path)
    assert dropped.returncode == 0 and dropped.stderr == ""
    assert np.array_equal(read_image(tmp_path / "dropped.png").rgb, palettra.convert(images["photo"], colours))


@pytest.mark.parametrize("source, output", [("photo", "out.gif"), ("cutout", "out.gif"), ("sprite", "out.webp")])
def test_lossless_formats_keep_the_palette_colours_and_alpha(tmp_path, images, source, output):
    done = palettra_command(f"{source}.png", "-p", "pico-8", "-o", output, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    out, pixels = read_image(tmp_path / output), images[source]
    alpha = pixels[..., 3] if pixels.shape[2] == 4 else None
    assert (out.alpha is None) == (alpha is None)
    shown = ... if alpha is None else alpha != 0  # a GIF keeps no colour under transparent pixels
    assert np.array_equal(out.rgb[shown], palettra.convert(pixels, PICO)[shown])
    assert alpha is None or np.array_equal(out.alpha, alpha)


def test_photos_come_out_upright_and_in_srgb(tmp_path):
    # A phone photo: stored sideways (orientation 6) and in Adobe RGB.
    stored = (200, 60, 40)
    exif = Image.Exif()
    exif[ExifTags.Base.Orientation] = 6
    Image.new("RGB", (6, 4), stored).save(
        tmp_path / "phone.jpg", quality=100, subsampling=0, exif=exif, icc_profile=matrix_profile("Adobe RGB (1998)")
    )
    srgb = adobe_rgb_to_srgb(stored)
    (tmp_path / "two.hex").write_text(f"{bytes(stored).hex()}\n{bytes(srgb.tolist()).hex()}\n")
    for options, shape, colour in [([], (6, 4), srgb), (["--keep-orientation", "--ignore-profile"], (4, 6), stored)]:
        done = palettra_command("phone.jpg", "-p", "two.hex", "-o", "out.png", *options, cwd=tmp_path)
        assert done.returncode == 0 and done.stderr == ""
        out = read_image(tmp_path / "out.png")
        assert out.rgb.shape[:2] == shape and np.all(out.rgb == colour)
        with Image.open(tmp_path / "out.png") as image:
            assert "srgb" in image.info


@pytest.mark.parametrize(
    "part, whole, shown",
    [(107, 108, "99.1%"), (370435, 370500, "99.98%"), (1, 10**9, "0.0000001%"), (0, 7, "0.0%"), (7, 7, "100.0%"), (2, 3, "66.7%")],
)
def test_the_changed_share_reads_0_or_100_percent_only_when_exact(part, whole, shown):
    assert cli._share(part, whole) == shown


def test_list_palettes(tmp_path):
    done = palettra_command("--list-palettes", cwd=tmp_path)
    assert done.returncode == 0
    names = [line.split()[0] for line in done.stdout.splitlines() if not line.startswith(" ")]
    assert names == list(PALETTES)
    assert "pico-8       16 colours  the 16 colours of a fantasy console" in done.stdout and "source: " in done.stdout


@pytest.mark.parametrize(
    "name, target, options, method, serpentine, strength",
    [("sprite", "i.png", [], "none", False, 1.0),
     ("sprite", "i.png", ["--dither", "atkinson", "--serpentine", "--strength", "0.5"], "atkinson", True, 0.5),
     ("sprite", "i.png", ["--dither", "bayer4", "--metric", "lab"], "bayer4", False, 1.0),
     ("cutout", "i.gif", ["--dither", "floyd-steinberg"], "floyd-steinberg", False, 1.0)],
)  # fmt: skip
def test_dithered_and_indexed_output_is_the_index_map(
    tmp_path, images, name, target, options, method, serpentine, strength
):
    metric = "lab" if "lab" in options else "rgb"
    indexed = ["--indexed"] if target.endswith(".png") else []
    done = palettra_command(f"{name}.png", "-p", "pico-8", *indexed, "-o", target, *options, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    expected = dither(images[name], PICO, method, serpentine=serpentine, strength=strength, metric=metric)
    with Image.open(tmp_path / target) as written:
        entries = np.asarray(written)
    # Entries past the palette are the (colour, alpha) pairs of translucent
    # pixels, or a GIF's transparent entry.
    alpha = images[name][..., 3]
    assert np.array_equal(entries[alpha == 255], expected[alpha == 255])
    assert np.array_equal(read_image(tmp_path / target).rgb[alpha != 0], PICO[expected][alpha != 0])


def test_sixteen_bit_images_dither_at_sixteen_bits(tmp_path):
    rgb = RNG.integers(0, 1 << 16, size=(6, 8, 3), dtype=np.uint16)
    (tmp_path / "deep.png").write_bytes(png_bytes(rgb, 16))
    done = palettra_command("deep.png", "-p", "epaper-7", "--dither", "floyd-steinberg", "-o", "o.png", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    palette = PALETTES["epaper-7"].colours * np.uint64(257)
    out = read_image(tmp_path / "o.png")
    assert out.bits == 16 and np.array_equal(out.rgb, palette[dither(rgb, palette)])


@pytest.mark.parametrize(("method", "metric", "threads"), [("none", "rgb", "3"), ("floyd-steinberg", "lab", "1"), ("bayer4", "rgb", "2")])
def test_makes_a_palette_from_the_image_and_maps_to_it(tmp_path, images, method, metric, threads):
    done = palettra_command("sprite.png", "--colours", "6", "--dither", method, "--metric", metric,
                            "--save-palette", "made.gpl", "--indexed", "--threads", threads, cwd=tmp_path)  # fmt: skip
    assert done.returncode == 0, done.stderr
    sprite = images["sprite"]
    made = make_palette(sprite, 6, metric=metric)
    assert np.array_equal(read_palette(tmp_path / "made.gpl"), made)
    with Image.open(tmp_path / "sprite-6-colours.png") as image:
        assert image.getpalette()[:18] == made.ravel().tolist()
    out = read_image(tmp_path / "sprite-6-colours.png")
    assert np.array_equal(out.rgb, made[dither(sprite, made, method, metric=metric)])


def test_a_batch_shares_one_palette_or_makes_one_each(tmp_path, images):
    sixteen = images["photo"].astype(np.uint16) * 256
    (tmp_path / "deep.png").write_bytes(png_bytes(sixteen))
    done = palettra_command("photo.png", "cutout.png", "deep.png", "--colours", "5", "--shared-palette",
                            "--save-palette", "shared.hex", "--out-dir", "shared", cwd=tmp_path)  # fmt: skip
    assert done.returncode == 0, done.stderr
    cutout = images["cutout"]
    # The 16-bit picture counts at 8 bits beside the others; transparent pixels do not count.
    deep = ((2 * sixteen.astype(np.uint32) + 257) // 514).astype(np.uint8)
    shared = make_palette([images["photo"], Picture(cutout[..., :3], cutout[..., 3], 8), deep], 5)
    assert np.array_equal(read_palette(tmp_path / "shared.hex"), shared)
    for name in ("photo", "cutout"):
        assert np.array_equal(read_image(tmp_path / "shared" / f"{name}.png").rgb, map_colours(images[name], shared))
    done = palettra_command("photo.png", "deep.png", "--colours", "5", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    own = make_palette(images["photo"], 5)
    assert np.array_equal(read_image(tmp_path / "photo-5-colours.png").rgb, map_colours(images["photo"], own))
    # A 16-bit image's palette is made at 16 bits and rounded to 8-bit values.
    deep_palette = (2 * make_palette(sixteen, 5) + 257) // 514
    assert np.array_equal(np.unique(read_image(tmp_path / "deep-5-colours.png").rgb.reshape(-1, 3) // 257, axis=0),
                          np.unique(deep_palette, axis=0))  # fmt: skip


@pytest.mark.parametrize("palette", ["pico-8", "mine.hex"])
def test_shows_a_palette_as_swatches(tmp_path, palette):
    from palettra_tools.swatches import swatch_sheet

    (tmp_path / "mine.hex").write_text("ff0000\n00ff00\n0000ff\n")
    done = palettra_command("--show-palette", palette, "-o", "sheet.png", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    colours = PICO if palette == "pico-8" else read_palette(tmp_path / palette)
    expected = swatch_sheet(colours, palette.removesuffix(".hex"))
    assert np.array_equal(read_image(tmp_path / "sheet.png").rgb, expected)
