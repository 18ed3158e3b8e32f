#include "mapping/grid_search.hpp"

#include <algorithm>
#include <limits>

namespace palettra {
namespace {

// Cells per axis, as a power of two: finer for larger palettes, whose
// rows' regions are smaller, coarser for smaller ones, whose table of cells
// then stays in the processor's nearer caches.
unsigned cell_bits_for(std::size_t rows, unsigned value_bits) {
  return std::min(value_bits, rows > 64 ? 6u : 5u);
}

constexpr std::size_t kMostCompared = 256;

std::int64_t square(std::int64_t value) { return value * value; }

// The largest value over the box of distance(x, u) − distance(x, k), which
// is Σ (k − u)(2x − u − k) per axis, linear in x: its maximum lies at a
// corner, per axis at the low or the high end. Each factor stays below
// 2^25 and 2^26 in magnitude, so the sum fits easily in 64 bits.
template <class Box>
std::int64_t largest_advantage(const Box& box, const std::uint64_t* u, const std::uint64_t* k) {
  std::int64_t sum = 0;
  for (std::size_t a = 0; a < 3; ++a) {
    const auto ua = static_cast<std::int64_t>(u[a]);
    const auto ka = static_cast<std::int64_t>(k[a]);
    const std::int64_t slope = ka - ua;
    sum += std::max(slope * (2 * box.low[a] - ua - ka), slope * (2 * box.high[a] - ua - ka));
  }
  return sum;
}

}  // namespace

GridSearch::GridSearch(const CompactPalette& palette, unsigned value_bits)
    : palette_(palette),
      cell_bits_(cell_bits_for(palette.rows(), value_bits)),
      shift_(value_bits - cell_bits_),
      cells_(std::size_t{1} << (3 * cell_bits_), kUnknown),
      pool_(2, 0),
      coarse_bits_(cell_bits_ > kCoarseStep ? cell_bits_ - kCoarseStep : 0),
      coarse_cells_(std::size_t{1} << (3 * coarse_bits_), kUnknown),
      coarse_pool_(2, 0),
      all_rows_(palette.rows()) {
  for (std::size_t k = 0; k < all_rows_.size(); ++k) all_rows_[k] = static_cast<std::uint32_t>(k);
}

std::uint32_t GridSearch::resolve_further(std::uint32_t entry, std::uint64_t s0, std::uint64_t s1,
                                          std::uint64_t s2) {
  if (entry == kUnknown) {
    // An earlier pixel of the same run may have described the cell since.
    const std::size_t cell = cell_of(s0, s1, s2);
    entry = cells_[cell] != kUnknown ? cells_[cell] : describe_cell(cell);
    if (settles(entry)) return entry;
    if (entry & kPair) return resolve(entry, s0, s1, s2);
  }
  if (entry == kAllRows) return kSingle | nearest_among(all_rows_, s0, s1, s2);
  const std::uint32_t* record = &pool_[entry];
  return kSingle | nearest_among({record + 1, record[0]}, s0, s1, s2);
}

GridSearch::Box GridSearch::box_of(std::size_t cell, unsigned bits) const {
  const std::size_t mask = (std::size_t{1} << bits) - 1;
  const std::size_t coordinates[3] = {cell >> (2 * bits), (cell >> bits) & mask, cell & mask};
  const unsigned shift = shift_ + cell_bits_ - bits;
  Box box{};
  for (std::size_t a = 0; a < 3; ++a) {
    box.low[a] = static_cast<std::int64_t>(coordinates[a] << shift);
    box.high[a] = box.low[a] + (std::int64_t{1} << shift) - 1;
  }
  return box;
}

std::uint32_t GridSearch::describe_cell(std::size_t cell) {
  const std::size_t mask = (std::size_t{1} << cell_bits_) - 1;
  const unsigned step = cell_bits_ - coarse_bits_;
  const std::size_t coarse_cell = ((cell >> (2 * cell_bits_ + step)) << (2 * coarse_bits_)) |
                                  (((cell >> cell_bits_) & mask) >> step) << coarse_bits_ |
                                  ((cell & mask) >> step);
  select_candidates(box_of(cell, cell_bits_), coarse_candidates(coarse_cell));
  const std::size_t kept = candidates_.size();
  std::uint32_t entry;
  if (kept == 1) {
    entry = kSingle | candidates_[0];
  } else if (kept == 2 && palette_.rows() <= kPairRow + 1) {
    entry = kPair | candidates_[0] << kPairShift | candidates_[1];
  } else if (pool_.size() + kept + 1 > kPoolLimit) {
    entry = kAllRows;
  } else {
    entry = static_cast<std::uint32_t>(pool_.size());
    pool_.push_back(static_cast<std::uint32_t>(kept));
    pool_.insert(pool_.end(), candidates_.begin(), candidates_.end());
  }
  cells_[cell] = entry;
  return entry;
}

std::span<const std::uint32_t> GridSearch::coarse_candidates(std::size_t coarse_cell) {
  std::uint32_t entry = coarse_cells_[coarse_cell];
  if (entry == kUnknown) {
    select_candidates(box_of(coarse_cell, coarse_bits_), all_rows_);
    if (coarse_pool_.size() + candidates_.size() + 1 > kPoolLimit) {
      entry = kAllRows;
    } else {
      entry = static_cast<std::uint32_t>(coarse_pool_.size());
      coarse_pool_.push_back(static_cast<std::uint32_t>(candidates_.size()));
      coarse_pool_.insert(coarse_pool_.end(), candidates_.begin(), candidates_.end());
    }
    coarse_cells_[coarse_cell] = entry;
  }
  if (entry == kAllRows) return all_rows_;
  return {&coarse_pool_[entry + 1], coarse_pool_[entry]};
}

// The rows that can be nearest somewhere in the box, in index order: a row
// k is dropped only when, for every colour x of the box, some row u is
// nearer, or as near with u < k; the first nearest row of any pixel in the
// box is therefore always kept, and a scan of the kept rows in index order
// with strict comparison finds it. A fine cell's box lies inside its coarse
// cell's, so the rows kept for the coarse cell include every row that can
// win in the fine one.
void GridSearch::select_candidates(const Box& box, std::span<const std::uint32_t> rows) {
  // First test: a row whose distance is at least `bound` everywhere in the
  // box loses to the row whose largest distance over the box is smallest.
  std::int64_t bound = std::numeric_limits<std::int64_t>::max();
  nearest_.resize(rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::uint64_t* entry = palette_.stored(rows[i]);
    std::int64_t farthest = 0;
    std::int64_t nearest = 0;
    for (std::size_t a = 0; a < 3; ++a) {
      const auto value = static_cast<std::int64_t>(entry[a]);
      farthest += square(std::max(value - box.low[a], box.high[a] - value));
      nearest += square(std::max({box.low[a] - value, value - box.high[a], std::int64_t{0}}));
    }
    bound = std::min(bound, farthest);
    nearest_[i] = nearest;
  }
  candidates_.clear();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (nearest_[i] <= bound) candidates_.push_back(rows[i]);
  }
  // Second test, among the survivors: the exact half-space comparison. It
  // costs the square of their number, so a crowd is left as it is: keeping
  // rows that cannot win changes no answer.
  if (candidates_.size() > kMostCompared) return;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < candidates_.size(); ++i) {
    const std::uint32_t k = candidates_[i];
    bool beaten = false;
    for (std::size_t other = 0; other < candidates_.size() && !beaten; ++other) {
      const std::uint32_t u = candidates_[other];
      if (u == k) continue;
      const std::int64_t advantage =
          largest_advantage(box, palette_.stored(u), palette_.stored(k));
      beaten = advantage < 0 || (advantage == 0 && u < k);
    }
    if (!beaten) candidates_[kept++] = k;
  }
  candidates_.resize(kept);
}

std::uint32_t GridSearch::nearest_among(std::span<const std::uint32_t> rows, std::uint64_t s0,
                                        std::uint64_t s1, std::uint64_t s2) const noexcept {
  std::int64_t best = std::numeric_limits<std::int64_t>::max();
  std::uint32_t chosen = 0;
  for (const std::uint32_t row : rows) {
    const std::int64_t d = distance(row, s0, s1, s2);
    if (d < best) {
      best = d;
      chosen = row;
    }
  }
  return chosen;
}

}  // namespace palettra
