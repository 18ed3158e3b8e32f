#include "module/object_text.hpp"

#include <string_view>

#include "module/pending_error.hpp"
#include "module/py_ref.hpp"

namespace palettra {
namespace {

bool is_valid_utf8(std::string_view bytes) {
  Ref decoded = Ref::steal(
      PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict"));
  if (!decoded) PyErr_Clear();
  return static_cast<bool>(decoded);
}

void write_text_of(std::string& out, PyObject* object, PyObject* (*render)(PyObject*)) {
  Ref text = Ref::steal(render(object));
  if (text) {
    append_lossy_utf8(out, text.get());
    return;
  }
  PendingError::fetch_after_failure().restore();
  PyErr_WriteUnraisable(object);
  const char* type_name = Py_TYPE(object)->tp_name;
  if (is_valid_utf8(type_name)) {
    out += "<unprintable ";
    out += type_name;
    out += " object>";
  } else {
    out += "<unprintable object>";
  }
}

}  // namespace

void append_lossy_utf8(std::string& out, PyObject* str) {
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size)) {
    out.append(utf8, static_cast<std::size_t>(size));
    return;
  }
  PyErr_Clear();
  Ref encoded =
      Ref::steal(expect_constructed(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass")));
  // The interpreter's "replace" handler substitutes each maximal invalid
  // subsequence, which turns every encoded surrogate into three U+FFFD.
  Ref repaired = Ref::steal(expect_constructed(PyUnicode_DecodeUTF8(
      PyBytes_AS_STRING(encoded.get()), PyBytes_GET_SIZE(encoded.get()), "replace")));
  const char* utf8 = PyUnicode_AsUTF8AndSize(repaired.get(), &size);
  if (utf8 == nullptr) constructor_failed();
  out.append(utf8, static_cast<std::size_t>(size));
}

void write_object_text(std::string& out, PyObject* object) {
  write_text_of(out, object, PyObject_Str);
}

void write_object_repr(std::string& out, PyObject* object) {
  write_text_of(out, object, PyObject_Repr);
}

}  // namespace palettra
