// The plain comparison of a pixel with every row of a block of rows.
#pragma once

#include <cstddef>

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

// The same distance to one row, as every search evaluates it.
inline double distance_to(double e0, double e1, double e2, double s0, double s1,
                          double s2) noexcept {
  const double d0 = s0 - e0;
  const double d1 = s1 - e1;
  const double d2 = s2 - e2;
  return (d0 * d0 + d1 * d1) + d2 * d2;
}

}  // namespace palettra
