"""Two copies of the module in one process share one borrow registry."""

import numpy as np
import pytest

import palettra


class ImageWatchingBorrows:
    """Records, from inside a call, whether the palette could be written."""

    shape = (1, 2, 3)

    def __init__(self, registry, palette):
        self.registry = registry
        self.palette = palette
        self.write_codes = []

    def __getitem__(self, key):
        code = self.registry.acquire_mut(self.palette)
        if code == 0:
            self.registry.release_mut(self.palette)
        self.write_codes.append(code)
        return 9


@pytest.fixture(scope="module")
def twin():
    import palettra_twin

    return palettra_twin


@pytest.mark.parametrize("module_name", ["palettra", "palettra_twin"])
def test_each_copy_borrows_through_the_shared_registry(registry, twin, module_name):
    module = {"palettra": palettra, "palettra_twin": twin}[module_name]
    palette = np.arange(6, dtype=np.uint64).reshape(2, 3)
    image = ImageWatchingBorrows(registry, palette)

    result = module.convert(image, palette)

    assert result.tolist() == [[[3, 4, 5], [3, 4, 5]]]
    assert image.write_codes == [-1] * 6
    assert registry.is_free(palette)


def test_a_write_borrow_taken_elsewhere_stops_both_copies(registry, twin):
    palette = np.zeros((2, 3), np.uint64)
    image = np.zeros((1, 1, 3), np.uint8)
    assert registry.acquire_mut(palette) == 0
    try:
        for module in (palettra, twin):
            with pytest.raises(BaseException, match="borrow of the array was refused: AlreadyBorrowed"):
                module.convert(image, palette)
    finally:
        registry.release_mut(palette)
    assert twin.convert(image, palette).tolist() == [[[0, 0, 0]]]


def test_the_copies_are_distinct_modules(twin):
    assert twin is not palettra
    assert twin.__all__ == ["convert"]
    assert twin.convert is not palettra.convert
