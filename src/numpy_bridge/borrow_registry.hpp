// The process-wide registry of array borrows shared by cooperating modules.
#pragma once

#include <Python.h>

#include <expected>

namespace palettra {

enum class BorrowError { AlreadyBorrowed = 0, NotWriteable = 1 };

const char* debug_text(BorrowError error);

// Registers a read borrow of the array's memory.
std::expected<void, BorrowError> acquire(PyObject* array);
// Ends a read borrow taken with acquire().
void release(PyObject* array);

}  // namespace palettra
