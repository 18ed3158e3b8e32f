// The companion engine's functions, running on this module's copy of its
// code, where the allocation switch reaches them.
#include <Python.h>

#include <cstddef>

#include "engine/engine_functions.hpp"
#include "test_functions.hpp"

namespace palettra::testing {
namespace {

using FastEntry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// The engine's table is looked up at call time: it may not be initialized
// yet while this module's table is being filled.
template <std::size_t index>
PyObject* engine_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  auto entry = reinterpret_cast<FastEntry>(
      reinterpret_cast<void (*)()>(kEngineMethods[index].entry));
  return entry(self, args, nargs, kwnames);
}

template <std::size_t index>
PyMethodDef engine_method(const char* name) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_entry<index>)),
          METH_FASTCALL | METH_KEYWORDS, nullptr};
}

RegisterTestFunction nearest_indices_function{engine_method<0>("nearest_indices")};
RegisterTestFunction diffuse_function{engine_method<1>("diffuse")};
RegisterTestFunction order_function{engine_method<2>("order")};

}  // namespace
}  // namespace palettra::testing
