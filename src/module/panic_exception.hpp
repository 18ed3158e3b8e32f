// The Python exception type that stands for a panic.
#pragma once

#include <Python.h>

#include <string>

#include "module/pending_error.hpp"

namespace palettra {

// The PanicException type, made on first need and kept for the process.
PyObject* panic_exception_type();

// A pending PanicException carrying `message`.
PendingError panic_exception_error(std::string message);

}  // namespace palettra
