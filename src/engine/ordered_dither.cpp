#include "engine/ordered_dither.hpp"

#include <vector>

#include "engine/dither_input.hpp"
#include "mapping/nearest_rows.hpp"

namespace palettra {
namespace {

template <class T>
void order_with(const DirectImage& image, const PaletteView& palette, const IndexMap& out,
                const OrderedPattern& pattern, std::uint64_t top) {
  NearestRows search(palette, top, image.height * image.width);
  const auto bound = static_cast<std::int64_t>(top);
  const std::uint64_t size = pattern.size;
  std::vector<std::uint64_t> chosen(image.width);
  for (std::uint64_t i = 0; i < image.height; ++i) {
    const char* pixel = image.data + static_cast<std::int64_t>(i) * image.row_stride;
    const std::int64_t* pattern_row =
        pattern.offsets.data() + 3 * size * ((pattern.origin_row + i) % size);
    std::uint64_t column = pattern.origin_column % size;
    for (std::uint64_t j = 0; j < image.width; ++j, pixel += image.column_stride) {
      const std::int64_t* offset = pattern_row + 3 * column;
      column = column + 1 == size ? 0 : column + 1;
      std::uint64_t adjusted[3];
      for (int c = 0; c < 3; ++c) {
        const std::int64_t value = channel_value<T>(pixel, image.channel_stride, c, top);
        adjusted[c] = static_cast<std::uint64_t>(clamped(value + offset[c], bound));
      }
      chosen[j] = search.nearest(adjusted[0], adjusted[1], adjusted[2]);
    }
    out.write(i * image.width, chosen);
  }
}

}  // namespace

void order(const DirectImage& image, const PaletteView& palette, const IndexMap& out,
           const OrderedPattern& pattern, std::uint64_t top) {
  if (image.height == 0 || image.width == 0) return;
  switch (image.element_size) {
    case 1:
      return order_with<std::uint8_t>(image, palette, out, pattern, top);
    case 2:
      return order_with<std::uint16_t>(image, palette, out, pattern, top);
    case 4:
      return order_with<std::uint32_t>(image, palette, out, pattern, top);
    default:
      return order_with<std::uint64_t>(image, palette, out, pattern, top);
  }
}

}  // namespace palettra
