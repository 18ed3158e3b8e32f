// palettra_tools._engine: index maps and dithering for palettra_tools.
#include <Python.h>

#include "engine/engine_functions.hpp"
#include "module/boundary_guard.hpp"
#include "module/module_def.hpp"

namespace {

palettra::Status add_engine_functions(PyObject* module) {
  return palettra::add_functions(module, palettra::kEngineMethods);
}

constinit palettra::ModuleDef module_def =
    palettra::module_definition("palettra_tools._engine", add_engine_functions);

}  // namespace

PyMODINIT_FUNC PyInit__engine() noexcept {
  return palettra::guard_entry([] { return palettra::make_module(module_def); });
}
