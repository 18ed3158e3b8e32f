#include "mapping/grid_search.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>

namespace palettra {
namespace {

// Exactness bound. When every pixel and palette value lies below 2^25, each
// difference d satisfies |d| < 2^25, each square d² < 2^50, and the sums of
// three stay below 2^53; the same holds for the grid's bounds and for the
// half-space test's products (below 2^51). Every value computed is then an
// integer that a double holds exactly, so no operation rounds and ties are
// true ties.
constexpr unsigned kExactBits = 25;

// Above it, every value is below M = 2^value_bits, each converted value,
// difference, square and sum is off by at most a few units of 2^-53 · M²,
// and so is each bound. A colour dropped only when it loses by more than
// M² · 2^-40 therefore loses under rounding too.
constexpr int kMarginExponent = -40;

// 2^exponent, exact, for exponents a double's normal range holds: built from
// its bits, so that no maths library is needed for it.
constexpr double power_of_two(int exponent) noexcept {
  return std::bit_cast<double>(static_cast<std::uint64_t>(1023 + exponent) << 52);
}
static_assert(power_of_two(0) == 1.0 && power_of_two(12) == 4096.0 && power_of_two(-1) == 0.5);

// Cells per axis, as a power of two. Finer cells settle more pixels but
// cost more descriptions, and their table leaves the processor's nearer
// caches: about one cell for every 16 pixels measured best, with at most 64
// per axis (a 1 MiB table), and 32 for palettes of at most 64 colours,
// whose regions are large.
constexpr unsigned kMostCellBits = 6;

unsigned cell_bits_for(unsigned value_bits, std::size_t rows, std::uint64_t pixels) noexcept {
  const int by_pixels = std::clamp((static_cast<int>(std::bit_width(pixels)) - 4) / 3, 3, 6);
  return std::min({value_bits, static_cast<unsigned>(by_pixels), rows > 64 ? 6u : 5u});
}

// The half-space test compares each candidate with at most this many rivals,
// those nearest to the box's centre, which beat most others.
constexpr std::size_t kMostRivals = 16;

double square(double value) noexcept { return value * value; }

// The pixel's values as 32-bit integers, when all lie below 2^kNarrowBits.
bool as_narrow(const double* pixel, std::uint32_t* narrow) noexcept {
  constexpr double kEnd = 1 << kNarrowBits;
  if (!(pixel[0] < kEnd && pixel[1] < kEnd && pixel[2] < kEnd)) return false;
  for (std::size_t c = 0; c < 3; ++c) narrow[c] = static_cast<std::uint32_t>(pixel[c]);
  return true;
}

}  // namespace

std::size_t GridSearch::most_bytes(std::size_t rows) noexcept {
  return cell_bytes(kMostCellBits, rows);
}

std::size_t GridSearch::cell_bytes(unsigned bits, std::size_t rows) noexcept {
  const unsigned coarse = bits > kCoarseStep ? bits - kCoarseStep : 0;
  return ((std::size_t{1} << (3 * bits)) + (std::size_t{1} << (3 * coarse))) *
             sizeof(std::uint32_t) +
         rows * (sizeof(double) + sizeof(std::uint32_t) + sizeof(Rival));
}

GridSearch::GridSearch(const SearchPalette& palette, unsigned value_bits,
                       std::uint64_t expected_pixels, std::size_t memory)
    : palette_(palette),
      narrow_(palette.is_narrow() && value_bits <= kNarrowBits),
      beyond_range_(value_bits >= 64 ? 0 : ~std::uint64_t{0} << value_bits),
      cell_bits_(cell_bits_for(value_bits, palette.rows(), expected_pixels)),
      shift_(value_bits - cell_bits_),
      coarse_bits_(cell_bits_ > kCoarseStep ? cell_bits_ - kCoarseStep : 0),
      margin_(value_bits <= kExactBits
                  ? 0.0
                  : power_of_two(2 * static_cast<int>(value_bits) + kMarginExponent)),
      cells_(std::size_t{1} << (3 * cell_bits_), kUnknown),
      coarse_cells_(std::size_t{1} << (3 * coarse_bits_), kUnknown) {
  const std::size_t fixed = cell_bytes(cell_bits_, palette.rows());
  // Whatever the cells leave goes to the two pools, the fine one taking the
  // larger part; reserved at once so that growing never copies.
  const std::size_t room = (memory > fixed ? memory - fixed : 0) / sizeof(std::uint32_t);
  coarse_pool_limit_ = room / 4;
  pool_limit_ = room - coarse_pool_limit_;
  coarse_pool_.reserve(coarse_pool_limit_);
  pool_.reserve(pool_limit_);
  pool_.assign(kFirstRecord, 0);
  coarse_pool_.assign(kFirstRecord, 0);
  candidates_.reserve(palette.rows());
  rivals_.reserve(palette.rows());
  nearest_.reserve(palette.rows());
}

std::size_t GridSearch::resolve(std::uint32_t entry, std::uint64_t s0, std::uint64_t s1,
                                std::uint64_t s2, WorkAccount& account) {
  const double pixel[3] = {static_cast<double>(s0), static_cast<double>(s1),
                           static_cast<double>(s2)};
  const std::size_t cell = layout().index(s0, s1, s2);
  if (entry == kUnknown) {
    // An earlier pixel of the same run may have described the cell since.
    entry = cells_[cell] != kUnknown ? cells_[cell] : describe_cell(cell, account);
    if (settles(entry)) return settled_colour(entry);
  }
  if (is_pair(entry)) {
    account.spend(2 * cost::kCandidate);
    return nearer_of_pair(entry, s0, s1, s2);
  }
  if (entry >= kFirstRecord) {
    const std::uint32_t* record = &pool_[entry];
    return nearest_among(Colours{record + 1, record[0]}, pixel, account);
  }
  if (entry != kCrowd) {
    // Not described: the coarse cell's candidates, when they are known and
    // fewer than a plain scan compares.
    const std::uint32_t coarse = coarse_cells_[coarse_of(cell)];
    if (coarse >= kFirstRecord) {
      const std::uint32_t* record = &coarse_pool_[coarse];
      return nearest_among(Colours{record + 1, record[0]}, pixel, account);
    }
  }
  return plain_scan(pixel, account);
}

std::size_t GridSearch::nearest_by_scan(std::uint64_t s0, std::uint64_t s1, std::uint64_t s2,
                                        WorkAccount& account) const noexcept {
  const double pixel[3] = {static_cast<double>(s0), static_cast<double>(s1),
                           static_cast<double>(s2)};
  return plain_scan(pixel, account);
}

std::size_t GridSearch::coarse_of(std::size_t cell) const noexcept {
  const std::size_t mask = (std::size_t{1} << cell_bits_) - 1;
  const unsigned step = cell_bits_ - coarse_bits_;
  const std::size_t x = (cell >> (2 * cell_bits_)) >> step;
  const std::size_t y = ((cell >> cell_bits_) & mask) >> step;
  const std::size_t z = (cell & mask) >> step;
  return (x << (2 * coarse_bits_)) | (y << coarse_bits_) | z;
}

GridSearch::Box GridSearch::box_of(std::size_t cell, unsigned bits, unsigned shift) const noexcept {
  const std::size_t mask = (std::size_t{1} << bits) - 1;
  const std::uint64_t coordinates[3] = {cell >> (2 * bits), (cell >> bits) & mask, cell & mask};
  Box box{};
  for (std::size_t a = 0; a < 3; ++a) {
    const std::uint64_t low = coordinates[a] << shift;
    box.low[a] = static_cast<double>(low);
    box.high[a] = static_cast<double>(low + ((std::uint64_t{1} << shift) - 1));
  }
  return box;
}

std::uint32_t GridSearch::describe_cell(std::size_t cell, WorkAccount& account) {
  Colours colours{};
  if (!coarse_candidates(coarse_of(cell), account, colours) ||
      !account.affords(cost::kFirstTest * static_cast<double>(colours.count))) {
    return kUnknown;
  }
  select_candidates(box_of(cell, cell_bits_, shift_), colours, account);
  const std::uint32_t entry = entry_for_candidates(pool_, pool_limit_, account, true);
  cells_[cell] = entry;
  return entry;
}

bool GridSearch::coarse_candidates(std::size_t coarse, WorkAccount& account, Colours& colours) {
  std::uint32_t entry = coarse_cells_[coarse];
  if (entry == kUnknown) {
    if (!account.affords(cost::kFirstTest * static_cast<double>(palette_.rows()))) return false;
    const unsigned shift = shift_ + cell_bits_ - coarse_bits_;
    select_candidates(box_of(coarse, coarse_bits_, shift), Colours{nullptr, palette_.rows()},
                      account);
    // Fine cells need the list itself, however short.
    entry = entry_for_candidates(coarse_pool_, coarse_pool_limit_, account, false);
    if (entry == kNoRoom) entry = kCrowd;
    coarse_cells_[coarse] = entry;
  }
  if (entry == kCrowd) {
    colours = Colours{nullptr, palette_.rows()};
  } else {
    colours = Colours{&coarse_pool_[entry + 1], coarse_pool_[entry]};
  }
  return true;
}

std::uint32_t GridSearch::entry_for_candidates(std::vector<std::uint32_t>& pool, std::size_t limit,
                                               const WorkAccount& account, bool inline_few) {
  const std::size_t kept = candidates_.size();
  if (inline_few && kept == 1) return kSingle | candidates_[0];
  if (inline_few && kept == 2 && palette_.rows() <= std::size_t{kPairColour} + 1) {
    return kPair | candidates_[0] << kPairShift | candidates_[1];
  }
  if (cost::kCandidate * static_cast<double>(kept) >= account.plain_scan()) return kCrowd;
  if (pool.size() + kept + 1 > limit) return kNoRoom;
  const auto entry = static_cast<std::uint32_t>(pool.size());
  pool.push_back(static_cast<std::uint32_t>(kept));
  pool.insert(pool.end(), candidates_.begin(), candidates_.end());
  return entry;
}

// The colours that can be nearest somewhere in the box, in index order: a
// colour k is dropped only when, for every pixel x of the box, some colour
// u is nearer, or as near with u < k; the first nearest colour of any pixel
// in the box is therefore always kept, and a scan of the kept colours in
// index order with strict comparison finds it. A fine cell's box lies inside
// its coarse cell's, so the colours kept for the coarse cell include every
// colour that can win in the fine one.
void GridSearch::select_candidates(const Box& box, Colours colours, WorkAccount& account) {
  account.spend(cost::kFirstTest * static_cast<double>(colours.count));
  // First test: a colour whose distance is at least `bound` everywhere in
  // the box loses to the colour whose largest distance over the box is
  // smallest.
  double bound = std::numeric_limits<double>::infinity();
  nearest_.resize(colours.count);
  for (std::size_t i = 0; i < colours.count; ++i) {
    const std::uint32_t k = colours[i];
    double farthest = 0;
    double nearest = 0;
    for (std::size_t a = 0; a < 3; ++a) {
      const double value = palette_.value(k, a);
      farthest += square(std::max(value - box.low[a], box.high[a] - value));
      nearest += square(std::max({box.low[a] - value, value - box.high[a], 0.0}));
    }
    bound = std::min(bound, farthest);
    nearest_[i] = nearest;
  }
  candidates_.clear();
  for (std::size_t i = 0; i < colours.count; ++i) {
    if (nearest_[i] <= bound + margin_) candidates_.push_back(colours[i]);
  }
  // Second test, among the survivors, when the account affords it: the
  // half-space comparison, over the box, of the largest advantage of u over
  // k, Σ (k − u)(2x − u − k) per axis, which is linear in x and so largest
  // at a corner. Keeping colours that cannot win changes no answer, so only
  // the rivals nearest to the box's centre, which beat most others, are
  // tried, those first.
  const std::size_t count = candidates_.size();
  const std::size_t tested = std::min(count, kMostRivals);
  const double pair_work =
      cost::kPairTest * static_cast<double>(count) * static_cast<double>(tested);
  if (!account.affords(pair_work)) return;
  account.spend(pair_work);
  rivals_.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t u = candidates_[i];
    double d = 0;
    for (std::size_t a = 0; a < 3; ++a) {
      d += square(palette_.value(u, a) - (box.low[a] + box.high[a]) / 2);
    }
    rivals_[i] = {d, u};
  }
  std::partial_sort(rivals_.begin(), rivals_.begin() + static_cast<std::ptrdiff_t>(tested),
                    rivals_.end(), [](const Rival& a, const Rival& b) {
                      return a.centre_distance < b.centre_distance;
                    });
  std::size_t kept = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t k = candidates_[i];
    bool beaten = false;
    for (std::size_t other = 0; other < tested && !beaten; ++other) {
      const std::uint32_t u = rivals_[other].colour;
      if (u == k) continue;
      double advantage = 0;
      for (std::size_t a = 0; a < 3; ++a) {
        const double ua = palette_.value(u, a);
        const double ka = palette_.value(k, a);
        const double slope = ka - ua;
        advantage += std::max(slope * (2 * box.low[a] - ua - ka),
                              slope * (2 * box.high[a] - ua - ka));
      }
      beaten = advantage < -margin_ || (margin_ == 0 && advantage == 0 && u < k);
    }
    if (!beaten) candidates_[kept++] = k;
  }
  candidates_.resize(kept);
}

std::size_t GridSearch::nearest_among(Colours colours, const double* pixel,
                                      WorkAccount& account) const noexcept {
  account.spend(cost::kCandidate * static_cast<double>(colours.count));
  if (std::uint32_t narrow_pixel[3]; narrow_ && as_narrow(pixel, narrow_pixel)) {
    // The distance above the colour: the smallest key is the first nearest
    // colour, found without a branch, which photos would mispredict.
    std::uint64_t best = std::numeric_limits<std::uint64_t>::max();
    for (std::size_t i = 0; i < colours.count; ++i) {
      const std::uint64_t key =
          std::uint64_t{narrow_distance(colours[i], narrow_pixel)} << 32 | colours[i];
      best = std::min(best, key);
    }
    return static_cast<std::size_t>(best & 0xffffffff);
  }
  double best = std::numeric_limits<double>::infinity();
  std::size_t chosen = colours[0];
  for (std::size_t i = 0; i < colours.count; ++i) {
    const double d = distance(colours[i], pixel);
    if (d < best) {
      best = d;
      chosen = colours[i];
    }
  }
  return chosen;
}

std::size_t GridSearch::plain_scan(const double* pixel, WorkAccount& account) const noexcept {
  account.spend(account.plain_scan());
  if (std::uint32_t narrow_pixel[3]; palette_.is_narrow() && as_narrow(pixel, narrow_pixel)) {
    return scan_narrow_rows(palette_.narrow_column(0), palette_.narrow_column(1),
                            palette_.narrow_column(2), palette_.narrow_padded_rows(),
                            narrow_pixel[0], narrow_pixel[1], narrow_pixel[2])
        .row;
  }
  return scan_rows(palette_.column(0), palette_.column(1), palette_.column(2),
                   palette_.padded_rows(), pixel[0], pixel[1], pixel[2])
      .row;
}

}  // namespace palettra
