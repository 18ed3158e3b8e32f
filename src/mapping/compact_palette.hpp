// A palette copied once per call, for calls during which no Python code runs
// and so nothing can change the palette's entries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mapping/palette_view.hpp"

namespace palettra {

class CompactPalette {
 public:
  // The full search compares this many rows at once.
  static constexpr std::size_t kLanes = 4;

  // The view must have at least one row and at least three columns.
  explicit CompactPalette(const PaletteView& view);

  std::size_t rows() const noexcept { return rows_; }
  // The stored integers of row k's first three entries.
  const std::uint64_t* stored(std::size_t row) const noexcept { return &stored_[3 * row]; }
  // The largest of all rows' first three entries.
  std::uint64_t largest() const noexcept { return largest_; }
  // Column c's entries as doubles, followed by +infinity up to a whole
  // number of lanes; an infinite row is never nearer than a finite one.
  const double* doubles(std::size_t column) const noexcept { return doubles_[column].data(); }
  std::size_t padded_rows() const noexcept { return doubles_[0].size(); }

 private:
  std::size_t rows_;
  std::uint64_t largest_ = 0;
  std::vector<std::uint64_t> stored_;
  std::vector<double> doubles_[3];
};

}  // namespace palettra
