// Everything the import of the module needs, and the import itself.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <span>

#include "module/method_description.hpp"
#include "module/pending_error.hpp"
#include "module/py_ref.hpp"

namespace palettra {

struct ModuleDef {
  Status (*initializer)(PyObject* module);
  PyModuleDef definition;
  std::atomic<std::int64_t> interpreter_id;
  PyObject* cached_module;
};

// The definition of the module named `name`, each new instance of which
// `initializer` fills.
constexpr ModuleDef module_definition(const char* name,
                                      Status (*initializer)(PyObject* module)) noexcept {
  return {
      .initializer = initializer,
      .definition =
          {
              .m_base = PyModuleDef_HEAD_INIT,
              .m_name = name,
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
}

// Gives a new reference to the module, built once per process, or refuses an
// interpreter other than the first one that imported it.
Result<PyObject*> make_module(ModuleDef& module_def);

// Adds a function to `module` for each of `methods`, in order, each also
// listed in __all__.
Status add_functions(PyObject* module, std::span<const MethodDescription> methods);

// Makes `function` the module attribute named by its __name__ and appends
// that name to __all__. Consumes the function reference.
Status add_function(PyObject* module, PyObject* function);

}  // namespace palettra
