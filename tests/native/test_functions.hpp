// Functions of the _palettra_testing module, contributed by each source file.
#pragma once

#include <Python.h>

#include <vector>

namespace palettra::testing {

std::vector<PyMethodDef>& test_functions();

// Adds `method` to the module's table when the module is loaded.
struct RegisterTestFunction {
  explicit RegisterTestFunction(PyMethodDef method) { test_functions().push_back(method); }
};

}  // namespace palettra::testing
