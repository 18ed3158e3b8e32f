// Reaches the step of the module's initializer that adds a function to a
// module, with objects no import would hand it.
#include <Python.h>

#include "module/boundary_guard.hpp"
#include "module/module_def.hpp"
#include "test_functions.hpp"

namespace {

using palettra::fail;
using palettra::PendingError;
using palettra::Result;

// add_function(module, function): adds `function` as add_function does during
// import; the caller keeps its own reference to the function.
PyObject* add_function_entry(PyObject* /*self*/, PyObject* args) noexcept {
  return palettra::guard_entry([&]() -> Result<PyObject*> {
    PyObject* module = nullptr;
    PyObject* function = nullptr;
    if (!PyArg_ParseTuple(args, "OO", &module, &function)) {
      return fail(PendingError::fetch_after_failure());
    }
    if (palettra::Status added = palettra::add_function(module, Py_NewRef(function)); !added) {
      return fail(std::move(added.error()));
    }
    return Py_NewRef(Py_None);
  });
}

palettra::testing::RegisterTestFunction registered{
    {"add_function", add_function_entry, METH_VARARGS, nullptr}};

}  // namespace
