// The nearest row by comparing every row in double precision, for pixels
// and palettes whose values are too large for exact integer shortcuts.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mapping/compact_palette.hpp"

namespace palettra {

class FullSearch {
 public:
  explicit FullSearch(const CompactPalette& palette) noexcept : palette_(palette) {}

  std::size_t nearest(std::uint64_t s0, std::uint64_t s1, std::uint64_t s2) noexcept {
    // Neighbouring pixels are often equal; the answer depends on nothing else.
    if (!has_last_ || s0 != last_[0] || s1 != last_[1] || s2 != last_[2]) {
      last_row_ = first_nearest_row(palette_, s0, s1, s2);
      last_[0] = s0;
      last_[1] = s1;
      last_[2] = s2;
      has_last_ = true;
    }
    return last_row_;
  }

  // The first row at the smallest distance ((d0² + d1²) + d2²), each operation
  // rounded on its own, the values converted as unsigned integers.
  static std::size_t first_nearest_row(const CompactPalette& palette, std::uint64_t s0,
                                       std::uint64_t s1, std::uint64_t s2) noexcept;

 private:
  const CompactPalette& palette_;
  bool has_last_ = false;
  std::uint64_t last_[3] = {};
  std::size_t last_row_ = 0;
};

}  // namespace palettra
