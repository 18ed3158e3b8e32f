#include "module/downcast_error.hpp"

#include <string>

#include "module/py_ref.hpp"

namespace palettra {
namespace {

// The qualified name, or a fixed text when the type cannot tell it.
std::string qualified_type_name(PyObject* type) {
  Ref name = Ref::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type)));
  Py_ssize_t size = 0;
  const char* utf8 = nullptr;
  if (name && PyUnicode_Check(name.get())) utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

}  // namespace

PendingError downcast_error(PyObject* object, const char* target) {
  Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object)));
  return PendingError::lazy([type = std::move(type), target]() mutable -> ExceptionParts {
    std::string message = "'";
    message += qualified_type_name(type.get());
    message += "' object cannot be converted to '";
    message += target;
    message += "'";
    type.reset();
    Ref text = exception_text(message);
    if (!text) return {};
    return {Ref::borrow(PyExc_TypeError), std::move(text)};
  });
}

}  // namespace palettra
