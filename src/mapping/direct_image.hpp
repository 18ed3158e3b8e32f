// A NumPy image whose pixels can be read straight from its memory, giving
// exactly what item access would give.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

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

  // Only for an object whose type is NumPy's array type itself (a subclass
  // may change item access), of three dimensions matching the shape already
  // read, a third extent of at least 3, and a native-order integer element
  // type of 1, 2, 4 or 8 bytes. Its items are then NumPy integer scalars,
  // read without running Python code and converted through __index__.
  static std::optional<DirectImage> of(PyObject* img, std::uint64_t height, std::uint64_t width);
};

}  // namespace palettra
