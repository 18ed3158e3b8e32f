// The nearest row through a coarse grid over colour space, for pixels and
// palettes whose values are all small enough that integer distances equal
// the double-precision ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "mapping/compact_palette.hpp"

namespace palettra {

class GridSearch {
 public:
  // Exactness bound. When every pixel and palette value lies below 2^25,
  // each difference d satisfies |d| < 2^25, each square d² < 2^50, and
  // d0² + d1² and (d0² + d1²) + d2² stay below 3·2^50 < 2^53. Every value
  // in the double evaluation (the converted operands included) is then an
  // integer below 2^53, which a double holds exactly, so no operation
  // rounds: the double distance equals the 64-bit integer distance, and
  // comparing integers picks the same first minimum.
  static constexpr unsigned kExactBits = 25;

  // Every pixel value must be below 2^value_bits, value_bits <= kExactBits,
  // and so must palette.largest().
  GridSearch(const CompactPalette& palette, unsigned value_bits);

  // Looking a pixel up is split in two so that a caller can take the
  // common case, a cell where only one row can win, without a branch:
  // cell_entry() reads the pixel's cell, settled_row() tells the row when
  // the entry settles it, and resolve() finds the row otherwise.
  std::uint32_t cell_entry(std::uint64_t s0, std::uint64_t s1, std::uint64_t s2) const noexcept {
    return cells_[cell_of(s0, s1, s2)];
  }
  static bool settles(std::uint32_t entry) noexcept { return (entry & kSingle) != 0; }
  static std::size_t settled_row(std::uint32_t entry) noexcept { return entry & ~kSingle; }
  // The entry, settled, for a pixel whose cell entry does not settle it.
  std::uint32_t resolve(std::uint32_t entry, std::uint64_t s0, std::uint64_t s1,
                        std::uint64_t s2) {
    if (!(entry & kPair)) return resolve_further(entry, s0, s1, s2);
    const std::uint32_t first = (entry >> kPairShift) & kPairRow;
    const std::uint32_t second = entry & kPairRow;
    return kSingle | (distance(second, s0, s1, s2) < distance(first, s0, s1, s2) ? second : first);
  }

  // Cell entries hold row numbers below this; larger palettes are left to
  // the full search.
  static constexpr std::size_t kMostRows = std::size_t{1} << 31;

 private:
  // A cell's entry: unknown yet, one row (kSingle | row), two rows
  // (kPair | first << kPairShift | second, for palettes of fewer than
  // 2^kPairShift rows: no further memory to reach), every row (kAllRows),
  // or the offset of the cell's record in the candidate pool: the number of
  // candidate rows, then the rows in index order.
  static constexpr std::uint32_t kUnknown = 0;
  static constexpr std::uint32_t kAllRows = 1;
  static constexpr std::uint32_t kSingle = std::uint32_t{1} << 31;
  static constexpr std::uint32_t kPair = std::uint32_t{1} << 30;
  static constexpr unsigned kPairShift = 15;
  static constexpr std::uint32_t kPairRow = (std::uint32_t{1} << kPairShift) - 1;
  // The candidate pool stops growing at this size (4 MiB); later cells
  // with several candidates compare every row.
  static constexpr std::size_t kPoolLimit = std::size_t{1} << 20;
  static constexpr unsigned kCoarseStep = 2;

  // Integer distance to a row; see the exactness bound above.
  std::int64_t distance(std::uint32_t row, std::uint64_t s0, std::uint64_t s1,
                        std::uint64_t s2) const noexcept {
    const std::uint64_t* entry = palette_.stored(row);
    const auto d0 = static_cast<std::int64_t>(s0) - static_cast<std::int64_t>(entry[0]);
    const auto d1 = static_cast<std::int64_t>(s1) - static_cast<std::int64_t>(entry[1]);
    const auto d2 = static_cast<std::int64_t>(s2) - static_cast<std::int64_t>(entry[2]);
    return (d0 * d0 + d1 * d1) + d2 * d2;
  }

  // Unknown cells, cells of three rows or more, and cells of every row.
  std::uint32_t resolve_further(std::uint32_t entry, std::uint64_t s0, std::uint64_t s1,
                                std::uint64_t s2);

  std::size_t cell_of(std::uint64_t s0, std::uint64_t s1, std::uint64_t s2) const noexcept {
    return ((s0 >> shift_) << (2 * cell_bits_)) | ((s1 >> shift_) << cell_bits_) | (s2 >> shift_);
  }

  struct Box {
    std::int64_t low[3];
    std::int64_t high[3];
  };

  std::uint32_t describe_cell(std::size_t cell);
  // The candidate list of the coarse cell that holds the box.
  std::span<const std::uint32_t> coarse_candidates(std::size_t coarse_cell);
  // Leaves in candidates_ those of `rows` that can be nearest in the box.
  void select_candidates(const Box& box, std::span<const std::uint32_t> rows);
  Box box_of(std::size_t cell, unsigned bits) const;
  // The first nearest of `rows`.
  std::uint32_t nearest_among(std::span<const std::uint32_t> rows, std::uint64_t s0,
                            std::uint64_t s1, std::uint64_t s2) const noexcept;

  const CompactPalette& palette_;
  unsigned cell_bits_;
  unsigned shift_;
  std::vector<std::uint32_t> cells_;
  std::vector<std::uint32_t> pool_;
  // A coarser grid, each of its cells holding 4×4×4 (2^kCoarseStep per
  // axis) cells of the fine one, narrows the rows that a fine cell's
  // description has to look at.
  unsigned coarse_bits_;
  std::vector<std::uint32_t> coarse_cells_;
  std::vector<std::uint32_t> coarse_pool_;
  std::vector<std::uint32_t> all_rows_;
  std::vector<std::uint32_t> candidates_;
  std::vector<std::int64_t> nearest_;
};

}  // namespace palettra
