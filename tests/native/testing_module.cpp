#include <Python.h>

#include "test_functions.hpp"

namespace palettra::testing {

std::vector<PyMethodDef>& test_functions() {
  static std::vector<PyMethodDef> functions;
  return functions;
}

}  // namespace palettra::testing

namespace {

PyModuleDef testing_module_def{
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_palettra_testing",
    .m_doc = "Internal paths of palettra, for its tests only.",
    .m_size = -1,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__palettra_testing() noexcept {
  auto& functions = palettra::testing::test_functions();
  functions.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
  testing_module_def.m_methods = functions.data();
  return PyModule_Create(&testing_module_def);
}
