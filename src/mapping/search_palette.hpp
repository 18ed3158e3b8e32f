// The palette as the searches read it: each distinct colour once, in order
// of first appearance, as doubles laid out column by column.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "mapping/palette_view.hpp"

namespace palettra {

class SearchPalette {
 public:
  // The scans compare this many rows at once.
  static constexpr std::size_t kLanes = 4;

  // Bytes a palette of `rows` rows takes at most, the building included.
  static std::size_t bytes_for(std::uint64_t rows) noexcept;

  // The view must have at least one row and at least three columns.
  explicit SearchPalette(const PaletteView& view);

  // Distinct colours. A later row whose three doubles equal an earlier
  // row's is at the same distance from every pixel, so it never wins.
  std::size_t rows() const noexcept { return origins_.size(); }
  // The view's row that distinct colour k stands for.
  std::uint64_t origin(std::size_t k) const noexcept { return origins_[k]; }
  // The stored integers of the row that distinct colour k stands for.
  const std::uint64_t* stored(std::size_t k) const noexcept { return &stored_[3 * k]; }
  // The largest stored integer of all rows' first three entries.
  std::uint64_t largest() const noexcept { return largest_; }
  // Column c's values, followed by +infinity up to a whole number of lanes;
  // an infinite row is never nearer than a finite one.
  const double* column(std::size_t c) const noexcept { return columns_[c].data(); }
  std::size_t padded_rows() const noexcept { return columns_[0].size(); }
  double value(std::size_t k, std::size_t c) const noexcept { return columns_[c][k]; }
  // Whether every value lies below 2^kNarrowBits, and the columns are also
  // kept as 32-bit integers, padded as scan_narrow_rows() needs.
  bool is_narrow() const noexcept { return !narrow_columns_[0].empty(); }
  const std::uint32_t* narrow_column(std::size_t c) const noexcept {
    return narrow_columns_[c].data();
  }
  std::size_t narrow_padded_rows() const noexcept { return narrow_columns_[0].size(); }

 private:
  std::uint64_t largest_ = 0;
  // Palettes this large are never copied (see bytes_for).
  std::vector<std::uint32_t> origins_;
  std::vector<std::uint64_t> stored_;
  std::vector<double> columns_[3];
  std::vector<std::uint32_t> narrow_columns_[3];
};

}  // namespace palettra
