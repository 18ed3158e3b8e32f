#include "module/module_def.hpp"

#include <utility>
#include <vector>

#include "module/downcast_error.hpp"
#include "module/interned_names.hpp"
#include "module/py_ref.hpp"

namespace palettra {
namespace {

constexpr const char kSubinterpreterRefusal[] =
    "palettra does not yet support subinterpreters, see "
    "https://github.com/palettra/palettra/issues/1";

// Function objects refer to their record for the rest of the process. One
// record per description, so that an import that fails and is tried again
// leaves no record behind.
PyMethodDef* method_record(const MethodDescription& description) {
  // Never destroyed, like the records it lists.
  static auto& records = *new std::vector<std::pair<const MethodDescription*, PyMethodDef*>>();
  for (const auto& [made_for, record] : records) {
    if (made_for == &description) return record;
  }
  records.reserve(records.size() + 1);
  auto* record =
      new PyMethodDef{description.name, description.entry, description.flags, description.doc};
  records.emplace_back(&description, record);
  return record;
}

// A function object of the module for a method of the module.
Result<Ref> make_function(const MethodDescription& description, PyObject* module) {
  PyMethodDef* method = method_record(description);
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return fail(PendingError::fetch_after_failure());
  Ref function = Ref::steal(PyCMethod_New(method, module, module_name.get(), nullptr));
  if (!function) return fail(PendingError::fetch_after_failure());
  return function;
}

// The module's __all__ list, created empty when the module has none.
Result<Ref> index(PyObject* module) {
  Ref all = Ref::steal(PyObject_GetAttr(module, interned_all_attribute()));
  if (all) {
    if (!PyList_Check(all.get())) return fail(downcast_error(all.get(), kPyList));
    return all;
  }
  PendingError error = PendingError::fetch_after_failure();
  PyObject* instance = error.normalize();
  if (!PyErr_GivenExceptionMatches(reinterpret_cast<PyObject*>(Py_TYPE(instance)),
                                   PyExc_AttributeError)) {
    return fail(std::move(error));
  }
  Ref list = Ref::steal(expect_constructed(PyList_New(0)));
  if (PyObject_SetAttr(module, interned_all_attribute(), list.get()) != 0) {
    return fail(PendingError::fetch_after_failure());
  }
  return list;
}

}  // namespace

Status add_function(PyObject* module, PyObject* function_argument) {
  Ref function = Ref::steal(function_argument);
  Ref name = Ref::steal(PyObject_GetAttr(function.get(), interned_name_attribute()));
  if (!name) return fail(PendingError::fetch_after_failure());
  if (!PyUnicode_Check(name.get())) return fail(downcast_error(name.get(), kPyString));
  {
    Result<Ref> all = index(module);
    if (!all) return fail(std::move(all.error()));
    if (PyList_Append(all->get(), name.get()) != 0) {
      panic_with_error("could not append __name__ to __all__", PendingError::fetch_after_failure());
    }
  }
  if (PyObject_SetAttr(module, name.get(), function.get()) != 0) {
    return fail(PendingError::fetch_after_failure());
  }
  return {};
}

Result<PyObject*> make_module(ModuleDef& module_def) {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return fail(PendingError::fetch_after_failure());
  std::int64_t expected = -1;
  if (!module_def.interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
    return fail(PendingError::with_message(PyExc_ImportError, kSubinterpreterRefusal));
  }
  if (module_def.cached_module != nullptr) return Ref::borrow(module_def.cached_module).release();

  Ref module = Ref::steal(PyModule_Create2(&module_def.definition, 1013));
  if (!module) return fail(PendingError::fetch_after_failure());
  if (Status initialized = module_def.initializer(module.get()); !initialized) {
    return fail(std::move(initialized.error()));
  }
  // Initialising can run Python code; a module cached meanwhile wins.
  if (module_def.cached_module == nullptr) module_def.cached_module = module.release();
  return Ref::borrow(module_def.cached_module).release();
}

Status add_functions(PyObject* module, std::span<const MethodDescription> methods) {
  for (const MethodDescription& method : methods) {
    Result<Ref> function = make_function(method, module);
    if (!function) return fail(std::move(function.error()));
    if (Status added = add_function(module, function->release()); !added) return added;
  }
  return {};
}

}  // namespace palettra
