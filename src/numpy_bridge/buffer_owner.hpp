// BufferOwner: the Python object that owns a result buffer and is the base of
// the array returned around it.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "module/pending_error.hpp"

namespace palettra {

using ReleaseBuffer = void (*)(std::uint64_t* data, std::size_t length, std::size_t capacity);

// Takes over the buffer: on failure it has already been released.
Result<PyObject*> new_buffer_owner(std::uint64_t* data, std::size_t length, std::size_t capacity,
                                   ReleaseBuffer release);

}  // namespace palettra
