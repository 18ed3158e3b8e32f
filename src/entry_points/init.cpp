// The shared object's one exported symbol.
#include <Python.h>

#include "entry_points/convert_function.hpp"
#include "module/boundary_guard.hpp"
#include "module/module_def.hpp"

#ifndef PALETTRA_MODULE_NAME
#define PALETTRA_MODULE_NAME palettra
#endif
#define PALETTRA_STRINGIFY_(name) #name
#define PALETTRA_STRINGIFY(name) PALETTRA_STRINGIFY_(name)
#define PALETTRA_CONCAT_(a, b) a##b
#define PALETTRA_CONCAT(a, b) PALETTRA_CONCAT_(a, b)

namespace {

palettra::Status add_convert(PyObject* module) {
  return palettra::add_functions(module, {&palettra::kConvertMethod, 1});
}

constinit palettra::ModuleDef module_def =
    palettra::module_definition(PALETTRA_STRINGIFY(PALETTRA_MODULE_NAME), add_convert);

}  // namespace

PyMODINIT_FUNC PALETTRA_CONCAT(PyInit_, PALETTRA_MODULE_NAME)() noexcept {
  return palettra::guard_entry([] { return palettra::make_module(module_def); });
}
