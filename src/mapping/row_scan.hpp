// The plain comparison of a pixel with every row of a block of rows.
#pragma once

#include <cstddef>
#include <cstdint>

namespace palettra {

struct ScanResult {
  double distance;
  std::size_t row;
};

// Rows laid out column by column, `padded_rows` of them, a multiple of four
// (padding rows hold +infinity). Gives the first row at the smallest
// distance ((d0² + d1²) + d2²), each operation rounded on its own.
ScanResult scan_rows(const double* c0, const double* c1, const double* c2,
                     std::size_t padded_rows, double s0, double s1, double s2) noexcept;

// The same for pixel and row values below 2^kNarrowBits, in 32-bit
// integers: every difference, square and sum is then exact in both
// arithmetics, so the distances and the first minimum are those of the
// double-precision scan, and twice as many rows fit in a vector. The rows
// are padded to a multiple of kNarrowLanes with kNarrowPadding, farther
// from any such pixel than every row, and still without overflow.
inline constexpr unsigned kNarrowBits = 14;
inline constexpr std::size_t kNarrowLanes = 8;
inline constexpr std::uint32_t kNarrowPadding = (std::uint32_t{1} << (kNarrowBits + 1)) - 1;
ScanResult scan_narrow_rows(const std::uint32_t* c0, const std::uint32_t* c1,
                            const std::uint32_t* c2, std::size_t padded_rows, std::uint32_t s0,
                            std::uint32_t s1, std::uint32_t s2) noexcept;

// The same distance to one row, as every search evaluates it.
inline double distance_to(double e0, double e1, double e2, double s0, double s1,
                          double s2) noexcept {
  const double d0 = s0 - e0;
  const double d1 = s1 - e1;
  const double d2 = s2 - e2;
  return (d0 * d0 + d1 * d1) + d2 * d2;
}

}  // namespace palettra
