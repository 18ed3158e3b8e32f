// An integer image whose pixels are read straight from its memory.
#pragma once

#include <cstdint>

namespace palettra {

struct DirectImage {
  const char* data;
  std::uint64_t height;
  std::uint64_t width;
  // In bytes; any sign.
  std::int64_t row_stride;
  std::int64_t column_stride;
  std::int64_t channel_stride;
  unsigned element_size;  // 1, 2, 4 or 8
  bool is_signed;
};

}  // namespace palettra
