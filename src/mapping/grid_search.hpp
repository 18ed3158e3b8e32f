// The nearest distinct colour through a grid over colour space, whose cells
// list the colours that can be nearest somewhere in them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mapping/row_scan.hpp"
#include "mapping/search_palette.hpp"
#include "mapping/work_account.hpp"

namespace palettra {

class GridSearch {
 public:
  // Every pixel value and every palette value must be below 2^value_bits
  // (at most 64); about `expected_pixels` pixels will be asked about. Cells
  // and candidate lists take at most `memory` bytes, which must cover at
  // least most_bytes().
  GridSearch(const SearchPalette& palette, unsigned value_bits, std::uint64_t expected_pixels,
             std::size_t memory);

  // The memory of cells and scratch for a palette of `rows` distinct colours.
  static std::size_t most_bytes(std::size_t rows) noexcept;

  // Looking a pixel up is split in two so that a caller can take the
  // common case, a cell where only one colour can win, without a branch:
  // cell_entry() reads the pixel's cell, settled_colour() tells the colour
  // when the entry settles it, and resolve() finds the colour otherwise.
  std::uint32_t cell_entry(std::uint64_t s0, std::uint64_t s1, std::uint64_t s2) const noexcept {
    return cells_[layout().index(s0, s1, s2)];
  }
  // Where the cells lie and how a pixel finds its own, copied out so that
  // a caller's loop keeps them in registers instead of reloading them
  // after every store it makes. The table never moves; its entries change
  // only in resolve().
  struct Layout {
    const std::uint32_t* cells;
    std::uint64_t mask;
    unsigned shift;
    unsigned bits;
    // Masked, so that even a value past 2^value_bits reads inside the table.
    std::size_t index(std::uint64_t s0, std::uint64_t s1, std::uint64_t s2) const noexcept {
      return (((s0 >> shift) & mask) << (2 * bits)) | (((s1 >> shift) & mask) << bits) |
             ((s2 >> shift) & mask);
    }
  };
  Layout layout() const noexcept {
    return {cells_.data(), (std::uint64_t{1} << cell_bits_) - 1, shift_, cell_bits_};
  }
  // For byte values: shares[c][v], the part of a cell's index that value v
  // of channel c contributes, so that a byte pixel's cell is three look-ups
  // or-ed together.
  using ByteShares = std::uint32_t[3][256];
  void byte_shares(ByteShares& shares) const noexcept {
    const Layout where = layout();
    for (std::uint64_t v = 0; v < 256; ++v) {
      shares[0][v] = static_cast<std::uint32_t>(where.index(v, 0, 0));
      shares[1][v] = static_cast<std::uint32_t>(where.index(0, v, 0));
      shares[2][v] = static_cast<std::uint32_t>(where.index(0, 0, v));
    }
  }
  // Whether any value or-ed into `values` is past 2^value_bits, as only
  // memory written behind the caller's back can hold by now. Such a value
  // lies in no cell of its own: nearest_by_scan() answers it instead.
  bool beyond_range(std::uint64_t values) const noexcept { return (values & beyond_range_) != 0; }
  std::size_t nearest_by_scan(std::uint64_t s0, std::uint64_t s1, std::uint64_t s2,
                              WorkAccount& account) const noexcept;
  static bool settles(std::uint32_t entry) noexcept { return (entry & kSingle) != 0; }
  static std::size_t settled_colour(std::uint32_t entry) noexcept { return entry & ~kSingle; }
  // The settled colour, or colour 0 where the entry does not settle it:
  // computed without a branch, which photos would mispredict often.
  static std::size_t settled_colour_or_first(std::uint32_t entry) noexcept {
    static_assert(kSingle == std::uint32_t{1} << 31);
    const std::uint32_t settled_mask = 0u - (entry >> 31);
    return entry & ~kSingle & settled_mask;
  }
  static bool is_pair(std::uint32_t entry) noexcept { return (entry & kPair) != 0; }
  // The nearer of a pair entry's colours, the first on a tie.
  std::size_t nearer_of_pair(std::uint32_t entry, std::uint64_t s0, std::uint64_t s1,
                             std::uint64_t s2) const noexcept {
    const std::uint32_t first = (entry >> kPairShift) & kPairColour;
    const std::uint32_t second = entry & kPairColour;
    if (narrow_) {
      const std::uint32_t pixel[3] = {static_cast<std::uint32_t>(s0), static_cast<std::uint32_t>(s1),
                                      static_cast<std::uint32_t>(s2)};
      return narrow_distance(second, pixel) < narrow_distance(first, pixel) ? second : first;
    }
    const double pixel[3] = {static_cast<double>(s0), static_cast<double>(s1),
                             static_cast<double>(s2)};
    return distance(second, pixel) < distance(first, pixel) ? second : first;
  }
  // Pays for its work, and for any cell it describes, from the account.
  std::size_t resolve(std::uint32_t entry, std::uint64_t s0, std::uint64_t s1, std::uint64_t s2,
                      WorkAccount& account);

 private:
  // A cell's entry: not described (yet), no room left to describe it, a
  // crowd better served by the plain scan, one colour (kSingle | colour),
  // two colours (kPair | first << kPairShift | second, for palettes of
  // at most 2^kPairShift distinct colours), or the offset of the cell's
  // record in the candidate pool: the number of candidates, then the
  // candidates in index order.
  static constexpr std::uint32_t kUnknown = 0;
  static constexpr std::uint32_t kNoRoom = 1;
  static constexpr std::uint32_t kCrowd = 2;
  static constexpr std::uint32_t kFirstRecord = 3;
  static constexpr std::uint32_t kSingle = std::uint32_t{1} << 31;
  static constexpr std::uint32_t kPair = std::uint32_t{1} << 30;
  static constexpr unsigned kPairShift = 15;
  static constexpr std::uint32_t kPairColour = (std::uint32_t{1} << kPairShift) - 1;
  static constexpr unsigned kCoarseStep = 2;

  struct Box {
    double low[3];
    double high[3];
  };
  // Colours 0 to count − 1 when `list` is null.
  struct Colours {
    const std::uint32_t* list;
    std::size_t count;
    std::uint32_t operator[](std::size_t i) const noexcept {
      return list != nullptr ? list[i] : static_cast<std::uint32_t>(i);
    }
  };

  static std::size_t cell_bytes(unsigned bits, std::size_t rows) noexcept;
  std::size_t coarse_of(std::size_t cell) const noexcept;
  Box box_of(std::size_t cell, unsigned bits, unsigned shift) const noexcept;
  std::uint32_t describe_cell(std::size_t cell, WorkAccount& account);
  // The candidates of the coarse cell around a fine one; none when the
  // coarse cell is not described and the account cannot pay for it.
  bool coarse_candidates(std::size_t coarse, WorkAccount& account, Colours& colours);
  // Leaves in candidates_ those of `colours` that can be nearest in the box.
  void select_candidates(const Box& box, Colours colours, WorkAccount& account);
  // An entry for the candidates just selected, kept in `pool` if need be;
  // one or two candidates in the entry itself when `inline_few`.
  std::uint32_t entry_for_candidates(std::vector<std::uint32_t>& pool, std::size_t limit,
                                     const WorkAccount& account, bool inline_few);
  std::size_t nearest_among(Colours colours, const double* pixel,
                            WorkAccount& account) const noexcept;
  std::size_t plain_scan(const double* pixel, WorkAccount& account) const noexcept;
  // Exact, as the double-precision distance is, for values below
  // 2^kNarrowBits (see scan_narrow_rows()); a value past them, which only
  // a pixel beyond the grid's range can hold, gives some distance without
  // overflow, and such a pixel is answered again by a plain scan.
  std::uint32_t narrow_distance(std::uint32_t colour, const std::uint32_t* pixel) const noexcept {
    std::uint32_t sum = 0;
    for (std::size_t c = 0; c < 3; ++c) {
      const std::uint32_t d = pixel[c] - palette_.narrow_column(c)[colour];
      sum += d * d;
    }
    return sum;
  }
  double distance(std::uint32_t colour, const double* pixel) const noexcept {
    return distance_to(palette_.value(colour, 0), palette_.value(colour, 1),
                       palette_.value(colour, 2), pixel[0], pixel[1], pixel[2]);
  }

  const SearchPalette& palette_;
  // Whether every pixel and palette value lies below 2^kNarrowBits, so that
  // distances can be taken in 32-bit integers.
  bool narrow_;
  // The bits that no value below 2^value_bits has.
  std::uint64_t beyond_range_;
  unsigned cell_bits_;
  unsigned shift_;
  unsigned coarse_bits_;
  // Zero where integer distances below 2^53 make every comparison exact;
  // otherwise a bound, far above the rounding of any distance or bound
  // compared here, that a colour must lose by before it is dropped.
  double margin_;
  std::vector<std::uint32_t> cells_;
  std::vector<std::uint32_t> coarse_cells_;
  std::vector<std::uint32_t> pool_;
  std::vector<std::uint32_t> coarse_pool_;
  std::size_t pool_limit_;
  std::size_t coarse_pool_limit_;
  struct Rival {
    double centre_distance;
    std::uint32_t colour;
  };
  std::vector<std::uint32_t> candidates_;
  std::vector<Rival> rivals_;
  std::vector<double> nearest_;
};

}  // namespace palettra
