#include "mapping/compact_palette.hpp"

#include <algorithm>
#include <limits>

namespace palettra {

CompactPalette::CompactPalette(const PaletteView& view)
    : rows_(static_cast<std::size_t>(view.rows)), stored_(3 * rows_) {
  const std::size_t padded = (rows_ + kLanes - 1) / kLanes * kLanes;
  for (std::vector<double>& column : doubles_) {
    column.assign(padded, std::numeric_limits<double>::infinity());
  }
  for (std::size_t k = 0; k < rows_; ++k) {
    for (std::size_t c = 0; c < 3; ++c) {
      const std::uint64_t entry = view.entry(k, c);
      stored_[3 * k + c] = entry;
      doubles_[c][k] = static_cast<double>(entry);
      largest_ = std::max(largest_, entry);
    }
  }
}

}  // namespace palettra
