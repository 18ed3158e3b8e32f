// The body of convert(img, color_palette).
#pragma once

#include <Python.h>

#include "module/pending_error.hpp"

namespace palettra {

// Both arguments are bound (borrowed); gives a new (h, w, 3) uint64 array.
Result<PyObject*> convert_image(PyObject* img, PyObject* color_palette);

}  // namespace palettra
