// Entry [k][c] of an accepted palette, read in place whatever its strides.
#pragma once

#include <cstdint>
#include <cstring>

namespace palettra {

struct PaletteView {
  const char* origin;
  std::uint64_t rows;
  std::uint64_t columns;
  // In bytes, so that strides that are not multiples of the element size
  // still reach the right elements.
  std::int64_t row_stride;
  std::int64_t column_stride;

  std::uint64_t entry(std::uint64_t row, std::uint64_t column) const noexcept {
    std::uint64_t value;
    std::memcpy(&value,
                origin + static_cast<std::int64_t>(row) * row_stride +
                    static_cast<std::int64_t>(column) * column_stride,
                sizeof value);
    return value;
  }
};

}  // namespace palettra
