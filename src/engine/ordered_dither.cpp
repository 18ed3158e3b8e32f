#include "engine/ordered_dither.hpp"

#include <algorithm>
#include <vector>

#include "engine/dither_input.hpp"
#include "engine/row_chooser.hpp"

namespace palettra {
namespace {

// Pixels go to the search a run at a time, which it answers faster than
// one by one.
template <class T>
void order_with(const DirectImage& image, const PaletteView& palette, const IndexMap& out,
                const OrderedPattern& pattern, const ValueReader& reader, Matching matching) {
  constexpr std::uint64_t kRun = NearestRows::kMostPerRun;
  const std::uint64_t top = reader.top;
  RowChooser search(palette, top, matching, 0, image.height * image.width);
  const auto bound = static_cast<std::int64_t>(top);
  const std::uint64_t size = pattern.size;
  std::vector<std::uint64_t> chosen(image.width);
  std::uint64_t adjusted[3 * kRun];
  for (std::uint64_t i = 0; i < image.height; ++i) {
    const char* row = image.data + static_cast<std::int64_t>(i) * image.row_stride;
    const std::int64_t* pattern_row =
        pattern.offsets.data() + 3 * size * ((pattern.origin_row + i) % size);
    for (std::uint64_t start = 0; start < image.width; start += kRun) {
      const std::uint64_t count = std::min(kRun, image.width - start);
      std::uint64_t column = (pattern.origin_column + start) % size;
      const char* pixel = row + static_cast<std::int64_t>(start) * image.column_stride;
      for (std::uint64_t j = 0; j < count; ++j, pixel += image.column_stride) {
        const std::int64_t* offset = pattern_row + 3 * column;
        column = column + 1 == size ? 0 : column + 1;
        for (int c = 0; c < 3; ++c) {
          const std::int64_t value = reader.template read<T>(pixel, image.channel_stride, c);
          adjusted[3 * j + c] = static_cast<std::uint64_t>(clamped(value + offset[c], bound));
        }
      }
      search.nearest_run(adjusted, count, &chosen[start]);
    }
    out.write(i * image.width, chosen);
  }
}

}  // namespace

void order(const DirectImage& image, const PaletteView& palette, const IndexMap& out,
           const OrderedPattern& pattern, const ValueReader& reader, Matching matching) {
  if (image.height == 0 || image.width == 0) return;
  switch (image.element_size) {
    case 1:
      return order_with<std::uint8_t>(image, palette, out, pattern, reader, matching);
    case 2:
      return order_with<std::uint16_t>(image, palette, out, pattern, reader, matching);
    case 4:
      return order_with<std::uint32_t>(image, palette, out, pattern, reader, matching);
    default:
      return order_with<std::uint64_t>(image, palette, out, pattern, reader, matching);
  }
}

}  // namespace palettra
