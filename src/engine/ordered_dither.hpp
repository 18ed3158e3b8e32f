// Ordered dithering: every pixel moved by an offset that depends only on
// its position in the whole image, then mapped on its own.
#pragma once

#include <cstdint>
#include <span>

#include "engine/buffer_view.hpp"
#include "engine/dither_input.hpp"
#include "engine/row_chooser.hpp"
#include "mapping/direct_image.hpp"
#include "mapping/palette_view.hpp"

namespace palettra {

struct OrderedPattern {
  // (size, size, 3) offsets, row-major, each within ±kLargestOffset.
  std::span<const std::int64_t> offsets;
  std::uint64_t size;
  // The position of the image's first pixel in the whole image.
  std::uint64_t origin_row;
  std::uint64_t origin_column;
};

// Fills `out`; the image, palette and matching are as for diffuse().
void order(const DirectImage& image, const PaletteView& palette, const IndexMap& out,
           const OrderedPattern& pattern, const ValueReader& reader, Matching matching);

}  // namespace palettra
