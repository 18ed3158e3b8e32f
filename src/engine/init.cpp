// palettra_tools._engine: index maps and dithering for palettra_tools.
#include <Python.h>

#include "engine/engine_functions.hpp"
#include "module/boundary_guard.hpp"
#include "module/module_def.hpp"

namespace {

palettra::Status add_engine_functions(PyObject* module) {
  return palettra::add_functions(module, palettra::kEngineMethods);
}

palettra::ModuleDef module_def{
    .initializer = add_engine_functions,
    .definition =
        {
            .m_base = PyModuleDef_HEAD_INIT,
            .m_name = "palettra_tools._engine",
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

PyMODINIT_FUNC PyInit__engine() noexcept {
  return palettra::guard_entry([] { return palettra::make_module(module_def); });
}
