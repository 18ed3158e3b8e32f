#include "mapping/row_scan.hpp"

#include <cstdint>
#include <cstring>
#include <limits>

namespace palettra {
namespace {

// GCC's generic vectors: as many lanes as the arithmetic needs, in whatever
// width the processor offers.
constexpr std::size_t kLanes = 4;
using Doubles = double __attribute__((vector_size(kLanes * sizeof(double))));
using Indices = std::int64_t __attribute__((vector_size(kLanes * sizeof(std::int64_t))));
using Narrow = std::uint32_t __attribute__((vector_size(kNarrowLanes * sizeof(std::uint32_t))));

// Differences wrap around in unsigned arithmetic, and so do their squares,
// to the true square: below 2^30, as every difference is below 2^15 in
// magnitude; the sum of three stays below 2^32, and a padding row is
// farther than every real row.
constexpr std::uint64_t kNarrowTop = (std::uint64_t{1} << kNarrowBits) - 1;
static_assert(3 * std::uint64_t{kNarrowPadding} * kNarrowPadding < (std::uint64_t{1} << 32));
static_assert(3 * kNarrowTop * kNarrowTop <
              3 * (kNarrowPadding - kNarrowTop) * (kNarrowPadding - kNarrowTop));

// Each lane keeps the first minimum of the rows it sees (rows k ≡ lane mod
// the lane count); the overall first minimum is then the smallest distance
// of all lanes, the lowest row among lanes that share it. `Values` holds
// the distances, `Rows` the rows, lane by lane; `worst` is at least every
// distance.
template <class Values, class Rows, class T>
[[gnu::always_inline]] inline ScanResult scan_lanes(const T* c0, const T* c1, const T* c2,
                                                    std::size_t padded_rows, T s0, T s1, T s2,
                                                    T worst) noexcept {
  constexpr std::size_t kCount = sizeof(Values) / sizeof(T);
  Values best = worst - Values{};
  Rows best_row = {};
  Rows row = {};
  for (std::size_t lane = 0; lane < kCount; ++lane) row[lane] = lane;
  for (std::size_t k = 0; k < padded_rows; k += kCount) {
    Values a0;
    Values a1;
    Values a2;
    std::memcpy(&a0, c0 + k, sizeof a0);
    std::memcpy(&a1, c1 + k, sizeof a1);
    std::memcpy(&a2, c2 + k, sizeof a2);
    const Values d0 = s0 - a0;
    const Values d1 = s1 - a1;
    const Values d2 = s2 - a2;
    const Values distance = (d0 * d0 + d1 * d1) + d2 * d2;
    const auto closer = distance < best;
    best = closer ? distance : best;
    best_row = closer ? row : best_row;
    row += static_cast<Rows>(kCount - Rows{});
  }
  T chosen = best[0];
  auto chosen_row = best_row[0];
  for (std::size_t lane = 1; lane < kCount; ++lane) {
    if (best[lane] < chosen || (best[lane] == chosen && best_row[lane] < chosen_row)) {
      chosen = best[lane];
      chosen_row = best_row[lane];
    }
  }
  return {static_cast<double>(chosen), static_cast<std::size_t>(chosen_row)};
}

}  // namespace

// Wider vector units are reached through a clone chosen when the module is
// loaded, so the module still runs on any x86-64 processor.
#if defined(__x86_64__)
#define PALETTRA_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define PALETTRA_VECTOR_CLONES
#endif

PALETTRA_VECTOR_CLONES
ScanResult scan_rows(const double* c0, const double* c1, const double* c2,
                     std::size_t padded_rows, double s0, double s1, double s2) noexcept {
  return scan_lanes<Doubles, Indices>(c0, c1, c2, padded_rows, s0, s1, s2,
                                      std::numeric_limits<double>::max());
}

PALETTRA_VECTOR_CLONES
ScanResult scan_narrow_rows(const std::uint32_t* c0, const std::uint32_t* c1,
                            const std::uint32_t* c2, std::size_t padded_rows, std::uint32_t s0,
                            std::uint32_t s1, std::uint32_t s2) noexcept {
  return scan_lanes<Narrow, Narrow>(c0, c1, c2, padded_rows, s0, s1, s2,
                                    std::numeric_limits<std::uint32_t>::max());
}

}  // namespace palettra
