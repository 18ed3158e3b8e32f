#include "mapping/nearest_colour.hpp"

#include <limits>

#include "runtime/panic.hpp"

namespace palettra {

Triple nearest_colour(const PaletteView& palette, const Triple& pixel) {
  if (palette.rows == 0) return Triple{0, 0, 0};
  if (palette.columns < 3) panic("ndarray: index out of bounds");
  const double s0 = static_cast<double>(pixel[0]);
  const double s1 = static_cast<double>(pixel[1]);
  const double s2 = static_cast<double>(pixel[2]);
  double best = std::numeric_limits<double>::max();
  Triple chosen{};
  for (std::uint64_t k = 0; k < palette.rows; ++k) {
    const Triple entry{palette.entry(k, 0), palette.entry(k, 1), palette.entry(k, 2)};
    const double d0 = s0 - static_cast<double>(entry[0]);
    const double d1 = s1 - static_cast<double>(entry[1]);
    const double d2 = s2 - static_cast<double>(entry[2]);
    const double distance = (d0 * d0 + d1 * d1) + d2 * d2;
    if (distance < best) {
      best = distance;
      chosen = entry;
    }
  }
  return chosen;
}

}  // namespace palettra
