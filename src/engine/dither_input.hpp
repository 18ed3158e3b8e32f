// What both kinds of dithering read: the image, clamped to its channel
// range, and the palette's first three columns.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "mapping/direct_image.hpp"
#include "mapping/palette_view.hpp"

namespace palettra {

// Image values and palette entries lie in [0, top]; top < 2^32, so sums of
// a value and an error or offset of up to 2^40 stay far inside 64 bits.
inline constexpr std::uint64_t kLargestTop = (std::uint64_t{1} << 32) - 1;
inline constexpr std::int64_t kLargestOffset = std::int64_t{1} << 40;

// Channel c of the pixel at `pixel`, clamped to `top`: whatever another
// thread writes meanwhile, no value reaches the search above its bound.
template <class T>
std::int64_t channel_value(const char* pixel, std::int64_t channel_stride, int c,
                           std::uint64_t top) noexcept {
  T value;
  std::memcpy(&value, pixel + c * channel_stride, sizeof value);
  return static_cast<std::int64_t>(std::min(static_cast<std::uint64_t>(value), top));
}

inline std::int64_t clamped(std::int64_t value, std::int64_t top) noexcept {
  return std::clamp<std::int64_t>(value, 0, top);
}

// Rows 0 to n - 1, three entries each, clamped to `top` as the image's
// values are: the palette was checked against it, but another thread may
// write to it since. The view must have at least three columns.
inline std::vector<std::int64_t> palette_entries(const PaletteView& palette, std::uint64_t top) {
  std::vector<std::int64_t> entries(3 * palette.rows);
  for (std::uint64_t k = 0; k < palette.rows; ++k) {
    for (std::uint64_t c = 0; c < 3; ++c) {
      entries[3 * k + c] = static_cast<std::int64_t>(std::min(palette.entry(k, c), top));
    }
  }
  return entries;
}

}  // namespace palettra
