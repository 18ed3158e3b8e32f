// The nearest palette row of one pixel.
#pragma once

#include <cstdint>

#include "mapping/palette_view.hpp"
#include "module/conversions.hpp"

namespace palettra {

// Squared Euclidean distance in double precision, each operation rounded on
// its own (the build forbids contraction into fused multiply-adds), the first
// minimum winning; the chosen row's stored integers are returned, not their
// doubles. An empty palette gives (0, 0, 0).
Triple nearest_colour(const PaletteView& palette, const Triple& pixel);

}  // namespace palettra
