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

palettra::ModuleDef module_def{
    .initializer = add_convert,
    .definition =
        {
            .m_base = PyModuleDef_HEAD_INIT,
            .m_name = PALETTRA_STRINGIFY(PALETTRA_MODULE_NAME),
            .m_doc = "",
            .m_size = 0,
            .m_methods = nullptr,
            .m_slots = nullptr,
            .m_traverse = nullptr,
            .m_clear = nullptr,
            .m_free = nullptr,
        },
    .interpreter_id = -1,
    .cached_module = nullptr,
};

}  // namespace

PyMODINIT_FUNC PALETTRA_CONCAT(PyInit_, PALETTRA_MODULE_NAME)() noexcept {
  return palettra::guard_entry([] { return palettra::make_module(module_def); });
}
