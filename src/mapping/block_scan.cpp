#include "mapping/block_scan.hpp"

#include <algorithm>
#include <limits>

#include "mapping/row_scan.hpp"

namespace palettra {
namespace {

bool same_pixel(const std::uint64_t* a, const std::uint64_t* b) noexcept {
  return a[0] == b[0] && a[1] == b[1] && a[2] == b[2];
}

}  // namespace

BlockScan::BlockScan(const PaletteView& palette)
    : palette_(palette),
      block_(3 * std::min<std::uint64_t>(kBlockRows, (palette.rows + 3) / 4 * 4)) {}

void BlockScan::nearest_run(const std::uint64_t* pixels, std::size_t count, std::uint64_t* rows) {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  double best[kMostPerRun];
  std::fill_n(best, count, kInfinity);
  const std::size_t stride = block_.size() / 3;
  double* c0 = block_.data();
  double* c1 = c0 + stride;
  double* c2 = c1 + stride;
  for (std::uint64_t start = 0; start < palette_.rows; start += kBlockRows) {
    const std::size_t block = std::min<std::uint64_t>(kBlockRows, palette_.rows - start);
    const std::size_t padded = (block + 3) / 4 * 4;
    for (std::size_t k = 0; k < padded; ++k) {
      const bool real = k < block;
      c0[k] = real ? static_cast<double>(palette_.entry(start + k, 0)) : kInfinity;
      c1[k] = real ? static_cast<double>(palette_.entry(start + k, 1)) : kInfinity;
      c2[k] = real ? static_cast<double>(palette_.entry(start + k, 2)) : kInfinity;
    }
    for (std::size_t j = 0; j < count; ++j) {
      const std::uint64_t* pixel = pixels + 3 * j;
      if (j > 0 && same_pixel(pixel, pixel - 3)) continue;
      const ScanResult found =
          scan_rows(c0, c1, c2, padded, static_cast<double>(pixel[0]),
                    static_cast<double>(pixel[1]), static_cast<double>(pixel[2]));
      // A later block replaces an answer only when strictly nearer.
      if (found.distance < best[j]) {
        best[j] = found.distance;
        rows[j] = start + found.row;
      }
    }
  }
  for (std::size_t j = 1; j < count; ++j) {
    if (same_pixel(pixels + 3 * j, pixels + 3 * (j - 1))) rows[j] = rows[j - 1];
  }
}

}  // namespace palettra
