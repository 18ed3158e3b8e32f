// The failure of a type test: "'T' object cannot be converted to 'Target'".
#pragma once

#include <Python.h>

#include "module/pending_error.hpp"

namespace palettra {

// Target names, exactly as they appear in messages.
inline constexpr const char kPyTuple[] = "PyTuple";
inline constexpr const char kPyArray[] = "PyArray<T, D>";
inline constexpr const char kPyCapsule[] = "PyCapsule";
inline constexpr const char kPyList[] = "PyList";
inline constexpr const char kPyString[] = "PyString";

// A lazy TypeError that keeps only the object's type; the message is built
// when the error is raised or inspected.
PendingError downcast_error(PyObject* object, const char* target);

}  // namespace palettra
