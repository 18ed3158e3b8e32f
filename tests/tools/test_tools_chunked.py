import dask.array as da
import numpy as np
import pytest
from dask.distributed import Client, LocalCluster

import palettra
from palettra_tools import PALETTES, dither, map_colours
from palettra_tools.chunked import convert_dask, dither_dask

RNG = np.random.default_rng(99)
IMAGE = RNG.integers(0, 256, size=(23, 31, 4), dtype=np.uint8)
PALETTE = PALETTES["pico-8"].colours


@pytest.fixture(scope="module")
def client():
    # The scheduler always serves HTTP; ":0" lets two runs on one machine
    # take a free port each instead of both asking for the default one.
    with (
        LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=":0") as cluster,
        Client(cluster) as client,
    ):
        yield client


@pytest.mark.parametrize("metric", ["rgb", "lab"])
def test_two_worker_processes_give_the_single_call_result(client, metric):
    # Uneven chunks, the channel axis split too.
    image = da.from_array(IMAGE, chunks=((5, 9, 9), (10, 21), (1, 3)))
    mapped = convert_dask(image, PALETTE, metric=metric, client=client)
    assert mapped.chunks == ((5, 9, 9), (10, 21), (3,))
    result = client.compute(mapped).result(timeout=120)
    expected = palettra.convert(IMAGE, PALETTE) if metric == "rgb" else map_colours(IMAGE, PALETTE, metric="lab")
    assert result.dtype == np.uint64 and np.array_equal(result, expected)


def test_every_chunk_reads_the_one_palette_already_on_the_cluster(client):
    mapped = convert_dask(da.from_array(IMAGE, chunks=(8, 8, 4)), PALETTE, client=client)
    graph = dict(mapped.__dask_graph__())
    chunk_tasks = [task for key, task in graph.items() if key[0].startswith("_map_block")]
    assert len(chunk_tasks) == 3 * 4
    outside_the_graph = set().union(*(task.dependencies for task in chunk_tasks)) - graph.keys()
    assert len(outside_the_graph) == 1
    (palette_key,) = outside_the_graph
    assert all(palette_key in task.dependencies for task in chunk_tasks)
    # Spare copies may be dropped at any moment, but never the last one.
    assert client.who_has().get(palette_key)
    assert np.array_equal(client.compute(mapped).result(timeout=120), palettra.convert(IMAGE, PALETTE))


def test_without_a_cluster_the_result_is_the_same():
    image = da.from_array(IMAGE, chunks=(6, 7, 4))
    assert np.array_equal(convert_dask(image, PALETTE).compute(scheduler="threads"), palettra.convert(IMAGE, PALETTE))


def test_images_must_have_three_channels():
    with pytest.raises(ValueError, match=r"c >= 3, got \(2, 2, 2\)"):
        convert_dask(np.zeros((2, 2, 2), np.uint8), PALETTE)


@pytest.mark.parametrize(
    "method, metric",
    [("none", "rgb"), ("none", "lab"), ("bayer8", "rgb"), ("bayer4", "lab"), ("bayer16", "rgb"), ("blue-noise", "rgb"),
     ("blue-noise", "lab")],
)  # fmt: skip
def test_index_maps_and_ordered_dithering_by_blocks_are_the_single_call_result(client, method, metric):
    # Blocks that do not start on a multiple of the pattern's size.
    image = da.from_array(IMAGE, chunks=((5, 11, 7), (3, 17, 11), (4,)))
    mapped = dither_dask(image, PALETTE, method, strength=0.8, metric=metric, client=client)
    assert mapped.chunks == ((5, 11, 7), (3, 17, 11))
    result = client.compute(mapped).result(timeout=120)
    expected = dither(IMAGE, PALETTE, method, strength=0.8, metric=metric)
    assert result.dtype == np.uint8 and np.array_equal(result, expected)


def test_error_diffusion_is_not_split_into_blocks():
    with pytest.raises(ValueError, match="cannot be computed block by block"):
        dither_dask(np.zeros((2, 2, 3), np.uint8), PALETTE, "floyd-steinberg")
