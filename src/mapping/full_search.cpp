#include "mapping/full_search.hpp"

#include <cstring>
#include <limits>

namespace palettra {
namespace {

// GCC's generic vectors: four lanes of whatever width the processor offers.
using Doubles = double __attribute__((vector_size(32)));
using Indices = std::int64_t __attribute__((vector_size(32)));
static_assert(sizeof(Doubles) / sizeof(double) == CompactPalette::kLanes);

// Wider vector units are reached through a clone chosen when the module is
// loaded, so the module still runs on any x86-64 processor.
#if defined(__x86_64__)
#define PALETTRA_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define PALETTRA_VECTOR_CLONES
#endif

// Each lane keeps the first minimum of the rows it sees (rows k ≡ lane mod 4);
// the overall first minimum is then the smallest distance of all lanes, the
// lowest row among lanes that share it.
PALETTRA_VECTOR_CLONES
std::size_t scan(const double* e0, const double* e1, const double* e2, std::size_t padded_rows,
                 double s0, double s1, double s2) noexcept {
  constexpr double kMax = std::numeric_limits<double>::max();
  Doubles best = {kMax, kMax, kMax, kMax};
  Indices best_row = {0, 0, 0, 0};
  Indices row = {0, 1, 2, 3};
  for (std::size_t k = 0; k < padded_rows; k += CompactPalette::kLanes) {
    Doubles a0;
    Doubles a1;
    Doubles a2;
    std::memcpy(&a0, e0 + k, sizeof a0);
    std::memcpy(&a1, e1 + k, sizeof a1);
    std::memcpy(&a2, e2 + k, sizeof a2);
    const Doubles d0 = s0 - a0;
    const Doubles d1 = s1 - a1;
    const Doubles d2 = s2 - a2;
    const Doubles distance = (d0 * d0 + d1 * d1) + d2 * d2;
    const Indices closer = distance < best;
    best = closer ? distance : best;
    best_row = closer ? row : best_row;
    row += static_cast<std::int64_t>(CompactPalette::kLanes);
  }
  double chosen_distance = best[0];
  std::int64_t chosen = best_row[0];
  for (std::size_t lane = 1; lane < CompactPalette::kLanes; ++lane) {
    if (best[lane] < chosen_distance || (best[lane] == chosen_distance && best_row[lane] < chosen)) {
      chosen_distance = best[lane];
      chosen = best_row[lane];
    }
  }
  return static_cast<std::size_t>(chosen);
}

}  // namespace

std::size_t FullSearch::first_nearest_row(const CompactPalette& palette, std::uint64_t s0,
                                          std::uint64_t s1, std::uint64_t s2) noexcept {
  return scan(palette.doubles(0), palette.doubles(1), palette.doubles(2), palette.padded_rows(),
              static_cast<double>(s0), static_cast<double>(s1), static_cast<double>(s2));
}

}  // namespace palettra
