// The Python exception type that stands for a panic.
#pragma once

#include <Python.h>

#include <string>

#include "module/pending_error.hpp"

namespace palettra {

// The PanicException type if it has been made, else null.
PyObject* existing_panic_exception_type() noexcept;

// A pending PanicException carrying `message`; the type is made on first
// need, kept for the process, and never released.
PendingError panic_exception_error(std::string message);

}  // namespace palettra
