// The Python exception type that stands for a panic.
#pragma once

#include <Python.h>

#include <string>

#include "module/pending_error.hpp"

namespace palettra {

// The PanicException type, made on first need and kept for the process.
// Null, with the interpreter's error set, when it cannot be made: a panic
// would need this very type, so the caller decides what to raise instead.
PyObject* panic_exception_type();

// A pending PanicException carrying `message`; if the type cannot be made,
// restoring it raises the interpreter's reason (a MemoryError) instead.
PendingError panic_exception_error(std::string message);

}  // namespace palettra
