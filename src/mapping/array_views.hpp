// The views through which the mapping reads NumPy arrays' memory.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "mapping/direct_image.hpp"
#include "mapping/palette_view.hpp"

namespace palettra {

// The palette as accepted: a two-dimensional array of 8-byte elements.
PaletteView palette_view_of(PyObject* array);

// Only for an object whose type is NumPy's array type itself (a subclass
// may change item access), of three dimensions matching the shape already
// read, a third extent of at least 3, and a native-order integer element
// type of 1, 2, 4 or 8 bytes. Its items are then NumPy integer scalars,
// read without running Python code and converted through __index__, so
// reading the memory gives exactly what item access would.
std::optional<DirectImage> direct_image_of(PyObject* img, std::uint64_t height,
                                           std::uint64_t width);

}  // namespace palettra
