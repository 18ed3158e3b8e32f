// What both kinds of dithering read: the image, clamped to its channel
// range, and the palette's first three columns.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "mapping/direct_image.hpp"
#include "mapping/palette_view.hpp"

namespace palettra {

// Image values and palette entries lie in [0, top]; top < 2^32, so sums of
// a value and an error or offset of up to 2^40 stay far inside 64 bits.
inline constexpr std::uint64_t kLargestTop = (std::uint64_t{1} << 32) - 1;
inline constexpr std::int64_t kLargestOffset = std::int64_t{1} << 40;

// Reads the image's values: as they are, or, for an 8- or 16-bit image
// taken to linear light, through a table of every code value's linear value.
struct ValueReader {
  // Empty, or one entry for every value of the image's type, each at most `top`.
  std::span<const std::uint32_t> transfer;
  std::uint64_t top;

  // Channel c of the pixel at `pixel`, clamped to `top`: whatever another
  // thread writes meanwhile, no value reaches the search above its bound.
  template <class T>
  std::int64_t read(const char* pixel, std::int64_t channel_stride, int c) const noexcept {
    T value;
    std::memcpy(&value, pixel + c * channel_stride, sizeof value);
    const auto raw = static_cast<std::uint64_t>(value);
    if (!transfer.empty()) {
      return transfer[static_cast<std::size_t>(std::min<std::uint64_t>(raw, transfer.size() - 1))];
    }
    return static_cast<std::int64_t>(std::min(raw, top));
  }
};

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
