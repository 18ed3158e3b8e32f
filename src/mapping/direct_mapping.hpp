// The mapping of an image read straight from its memory.
#pragma once

#include <cstdint>

#include "mapping/direct_image.hpp"
#include "mapping/palette_view.hpp"

namespace palettra {

// Fills the zero-filled (h, w, 3) result `out`, with the same choices as
// item access would make. Gives false, before writing anything, when item
// access would fail somewhere (a negative value, or a palette of too few
// columns); the caller then maps through item access from the start, which
// fails at the same pixel in the same way. No Python code runs, so the
// palette cannot change meanwhile and can be copied once.
bool map_direct(const DirectImage& image, const PaletteView& palette, std::uint64_t* out);

}  // namespace palettra
