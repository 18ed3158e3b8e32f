// Python values to native ones, with the interpreter's own exceptions.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>

#include "module/pending_error.hpp"

namespace palettra {

using Triple = std::array<std::uint64_t, 3>;

// An int (or anything with __index__) in [0, 2**64).
Result<std::uint64_t> extract_u64(PyObject* object);

// A tuple of exactly three such integers, converted in item order.
Result<Triple> extract_triple(PyObject* object);

// ValueError "expected tuple of length N, but got tuple of length M".
PendingError wrong_tuple_length(PyObject* tuple, Py_ssize_t expected);

}  // namespace palettra
