// Hands a filled result buffer to NumPy without copying it.
#pragma once

#include <Python.h>

#include "numpy_bridge/result_buffer.hpp"

namespace palettra {

// A new (h, w, 3) uint64 array whose base, a BufferOwner, owns the storage.
PyObject* from_owned_buffer(ResultBuffer buffer);

}  // namespace palettra
