#include "mapping/row_scan.hpp"

#include <cstdint>
#include <cstring>
#include <limits>

namespace palettra {
namespace {

// GCC's generic vectors: four lanes of whatever width the processor offers.
constexpr std::size_t kLanes = 4;
using Doubles = double __attribute__((vector_size(kLanes * sizeof(double))));
using Indices = std::int64_t __attribute__((vector_size(kLanes * sizeof(std::int64_t))));

}  // namespace

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
ScanResult scan_rows(const double* c0, const double* c1, const double* c2,
                     std::size_t padded_rows, double s0, double s1, double s2) noexcept {
  constexpr double kMax = std::numeric_limits<double>::max();
  Doubles best = {kMax, kMax, kMax, kMax};
  Indices best_row = {0, 0, 0, 0};
  Indices row = {0, 1, 2, 3};
  for (std::size_t k = 0; k < padded_rows; k += kLanes) {
    Doubles a0;
    Doubles a1;
    Doubles a2;
    std::memcpy(&a0, c0 + k, sizeof a0);
    std::memcpy(&a1, c1 + k, sizeof a1);
    std::memcpy(&a2, c2 + k, sizeof a2);
    const Doubles d0 = s0 - a0;
    const Doubles d1 = s1 - a1;
    const Doubles d2 = s2 - a2;
    const Doubles distance = (d0 * d0 + d1 * d1) + d2 * d2;
    const Indices closer = distance < best;
    best = closer ? distance : best;
    best_row = closer ? row : best_row;
    row += static_cast<std::int64_t>(kLanes);
  }
  ScanResult chosen{best[0], static_cast<std::size_t>(best_row[0])};
  for (std::size_t lane = 1; lane < kLanes; ++lane) {
    const auto lane_row = static_cast<std::size_t>(best_row[lane]);
    if (best[lane] < chosen.distance || (best[lane] == chosen.distance && lane_row < chosen.row)) {
      chosen = {best[lane], lane_row};
    }
  }
  return chosen;
}

}  // namespace palettra
