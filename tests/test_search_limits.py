"""The search behind NumPy integer images: the same answer as comparing every
row, within a fixed amount of memory whatever the palette, never much slower
than comparing every row, and results that hold no memory they do not use."""

import os
import time

import numpy as np
import pytest

import palettra
from support.isolated import run_json

SANITIZED = bool(os.environ.get("PALETTRA_SANITIZED"))
rng = np.random.default_rng(11)


def plain_scan(testing, image, palette):
    pixels = np.ascontiguousarray(image[..., :3].astype(np.uint64))
    out = np.empty_like(pixels)
    testing.plain_scan_convert(pixels, palette, out)
    return out


def uniform(shape, top, dtype=np.uint64):
    return rng.integers(0, top, shape, dtype=np.uint64).astype(dtype)


def near_2_53(rows):
    # Distinct integers that round to few doubles: ties under rounding.
    return (np.uint64(2**53) + uniform((rows, 3), 8)) * np.uint64(rng.integers(1, 3))


CASES = {
    "clustered, many duplicates": (uniform((64, 64, 3), 256, np.uint8), uniform((5000, 3), 16)),
    "clustered in a corner": (uniform((64, 64, 3), 256, np.uint8), uniform((20000, 3), 64)),
    "one colour repeated": (uniform((48, 48, 3), 256, np.uint8), np.repeat(uniform((1, 3), 256), 3000, 0)),
    "2^15 - 1 rows": (uniform((40, 40, 3), 256, np.uint8), uniform((2**15 - 1, 3), 256)),
    "2^15 rows": (uniform((40, 40, 3), 256, np.uint8), uniform((2**15, 3), 256)),
    "2^15 + 1 rows": (uniform((40, 40, 3), 256, np.uint8), uniform((2**15 + 1, 3), 256)),
    "beyond the memory budget": (uniform((24, 24, 3), 256, np.uint8), uniform((120000, 3), 256)),
    "image of one colour": (np.full((64, 64, 3), 77, np.uint8), uniform((3000, 3), 64)),
    "fewer pixels than worth copying for": (uniform((3, 3, 3), 256, np.uint8), uniform((9000, 3), 256)),
    "uint16, few colours": (uniform((64, 64, 3), 65536, np.uint16), uniform((16, 3), 65536)),
    "just below exact range": (uniform((64, 64, 3), 2**25, np.uint32), uniform((256, 3), 2**25)),
    "just above exact range": (uniform((64, 64, 3), 2**26, np.uint32), uniform((256, 3), 2**26)),
    "uint64 shifted by 2^40": (uniform((64, 64, 3), 256) << np.uint64(40), uniform((256, 3), 256) << np.uint64(40)),
    "ties above 2^53": (near_2_53(64 * 64).reshape(64, 64, 3), near_2_53(300)),
    "full uint64 range": (uniform((64, 64, 3), 2**64 - 1), uniform((300, 3), 2**64 - 1)),
    "int64": (uniform((64, 64, 3), 2**62, np.int64), uniform((64, 3), 2**63)),
}


@pytest.mark.parametrize("name", CASES)
def test_same_answer_as_comparing_every_row(testing, name):
    image, palette = CASES[name]
    np.testing.assert_array_equal(palettra.convert(image, palette), plain_scan(testing, image, palette))


def test_strided_palette_views_are_searched_as_indexed(testing):
    image = uniform((64, 64, 3), 256, np.uint8)
    wide = uniform((4000, 5), 256)
    for palette in (wide[::-1, 1:4], wide[::3, ::-1], np.asfortranarray(wide)[:, :3]):
        np.testing.assert_array_equal(palettra.convert(image, palette), plain_scan(testing, image, palette))


@pytest.mark.parametrize("rows, side", [(2**26, 4), (2**40, 1)])
def test_a_broadcast_palette_is_one_colour(rows, side):
    # Takes no memory, so neither may its search; the first row wins.
    got = run_json(f"""
        import json, numpy as np, palettra
        palette = np.broadcast_to(np.array([[7, 8, 9]], np.uint64), ({rows}, 3))
        image = np.arange({side * side * 3}, dtype=np.uint8).reshape({side}, {side}, 3)
        print(json.dumps(palettra.convert(image, palette).tolist()))
    """)
    assert got == [[[7, 8, 9]] * side] * side


PEAK_PROBE = """
import json, numpy as np, palettra

def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024

rng = np.random.default_rng(3)
palette = rng.integers(0, {top}, ({rows}, 3)).astype(np.uint64)
image = rng.integers(0, 256, ({side}, {side}, 3)).astype(np.uint8)
palettra.convert(image[:1, :1], palette[:1])
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmRSS")
result = palettra.convert(image, palette)
print(json.dumps(status("VmHWM") - before - result.nbytes))
"""


@pytest.mark.skipif(SANITIZED, reason="the sanitizers' own bookkeeping swamps the figures")
@pytest.mark.parametrize("rows, top, side", [(2**21, 256, 16), (30000, 256, 256), (20000, 64, 256)])
def test_extra_memory_stays_within_its_bound_for_any_palette(rows, top, side):
    extra = run_json(PEAK_PROBE.format(rows=rows, top=top, side=side))
    assert extra < 6 * 2**20, f"{extra / 2**20:.1f} MiB beyond the result"


def resident_bytes(address, size):
    """Resident memory of the mappings that overlap [address, address + size)."""
    total = 0
    overlaps = False
    with open("/proc/self/smaps") as smaps:
        for line in smaps:
            head = line.split()[0]
            if "-" in head and not head.endswith(":"):
                start, end = (int(bound, 16) for bound in head.split("-"))
                overlaps = start < address + size and address < end
            elif head == "Rss:" and overlaps:
                total += int(line.split()[1]) * 1024
    return total


@pytest.mark.parametrize("pixels", [2**21 // 24 + 2, 2**22 // 24 + 3, 1_000_003])
def test_a_result_holds_little_memory_it_does_not_use(pixels):
    result = palettra.convert(np.full((1, pixels, 3), 9, np.uint8), np.array([[1, 2, 3]], np.uint64))
    assert result.nbytes <= resident_bytes(result.ctypes.data, result.nbytes) <= result.nbytes * 1.01


@pytest.mark.skipif(SANITIZED, reason="timed against its own plain scan, which the sanitizers slow differently")
def test_crowded_palettes_are_not_slower_than_comparing_every_row(testing):
    image = uniform((128, 128, 3), 256, np.uint8)
    palette = uniform((20000, 3), 64)

    def fastest(function):
        times = []
        for _ in range(3):
            start = time.process_time()
            function()
            times.append(time.process_time() - start)
        return min(times)

    plain = fastest(lambda: plain_scan(testing, image, palette))
    mine = fastest(lambda: palettra.convert(image, palette))
    assert mine < 1.5 * plain, f"{mine:.3f} s against {plain:.3f} s for the plain scan"
