import numpy as np

import palettra


def test_worked_pixel_takes_the_nearest_row(registry):
    palette = np.array([[0, 0, 0], [255, 255, 255], [255, 0, 0]], dtype=np.uint64)
    image = np.array([[[200, 30, 30]]], dtype=np.uint8)
    assert palettra.convert(image, palette).tolist() == [[[255, 0, 0]]]
    assert registry.is_free(palette)
