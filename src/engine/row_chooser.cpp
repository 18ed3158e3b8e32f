#include "engine/row_chooser.hpp"

#include <algorithm>

#include "engine/linear_lab.hpp"

namespace palettra {
namespace {

// The search needs its own copy of the palette unless it compares the
// entries themselves, unshifted.
bool uses_entries(Matching matching, std::uint64_t margin) {
  return matching == Matching::kValues && margin == 0;
}

std::vector<std::uint64_t> palette_coordinates(const PaletteView& palette, std::uint64_t top,
                                               Matching matching, std::uint64_t margin) {
  if (uses_entries(matching, margin)) return {};
  std::vector<std::uint64_t> coordinates(3 * palette.rows);
  for (std::uint64_t k = 0; k < palette.rows; ++k) {
    const auto entry = [&](std::uint64_t c) {
      const std::uint64_t value = palette.entry(k, c);
      return value < top ? value : top;
    };
    if (matching == Matching::kValues) {
      for (std::uint64_t c = 0; c < 3; ++c) coordinates[3 * k + c] = entry(c) + margin;
      continue;
    }
    const auto lab = linear_lab(entry(0), entry(1), entry(2));
    for (std::uint64_t c = 0; c < 3; ++c) coordinates[3 * k + c] = lab[c];
  }
  return coordinates;
}

PaletteView coordinates_view(const std::vector<std::uint64_t>& coordinates, std::uint64_t rows) {
  return {
      .origin = reinterpret_cast<const char*>(coordinates.data()),
      .rows = rows,
      .columns = 3,
      .row_stride = 3 * sizeof(std::uint64_t),
      .column_stride = sizeof(std::uint64_t),
  };
}

}  // namespace

RowChooser::RowChooser(const PaletteView& palette, std::uint64_t top, Matching matching,
                       std::uint64_t margin, std::uint64_t expected_pixels)
    : matching_(matching),
      top_(top),
      margin_(margin),
      coordinates_(palette_coordinates(palette, top, matching, margin)),
      search_(uses_entries(matching, margin) ? palette : coordinates_view(coordinates_, palette.rows),
              matching == Matching::kValues ? top + 2 * margin : kLabTop, expected_pixels) {}

std::uint64_t RowChooser::nearest(const std::int64_t (&value)[3]) {
  const auto bound = static_cast<std::int64_t>(top_);
  const auto shift = static_cast<std::int64_t>(margin_);
  if (matching_ == Matching::kValues) {
    return search_.nearest(static_cast<std::uint64_t>(value[0] + shift),
                           static_cast<std::uint64_t>(value[1] + shift),
                           static_cast<std::uint64_t>(value[2] + shift));
  }
  const auto lab = linear_lab(static_cast<std::uint64_t>(std::clamp<std::int64_t>(value[0], 0, bound)),
                              static_cast<std::uint64_t>(std::clamp<std::int64_t>(value[1], 0, bound)),
                              static_cast<std::uint64_t>(std::clamp<std::int64_t>(value[2], 0, bound)));
  return search_.nearest(lab[0], lab[1], lab[2]);
}

void RowChooser::nearest_run(std::uint64_t* values, std::size_t count, std::uint64_t* rows) {
  if (matching_ == Matching::kLinearLab) {
    for (std::size_t j = 0; j < count; ++j) {
      const auto lab = linear_lab(values[3 * j], values[3 * j + 1], values[3 * j + 2]);
      for (std::size_t c = 0; c < 3; ++c) values[3 * j + c] = lab[c];
    }
  }
  search_.nearest_run(values, count, rows);
}

}  // namespace palettra
