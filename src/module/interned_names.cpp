#include "module/interned_names.hpp"

#include <string_view>

#include "module/pending_error.hpp"

namespace palettra {
namespace {

PyObject* intern_once(PyObject*& cell, std::string_view text) {
  if (cell != nullptr) return cell;
  PyObject* made = expect_constructed(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  PyUnicode_InternInPlace(&made);
  if (cell == nullptr) {
    cell = made;
  } else {
    Py_DECREF(made);
  }
  return cell;
}

PyObject* name_cell = nullptr;
PyObject* all_cell = nullptr;

}  // namespace

PyObject* interned_name_attribute() { return intern_once(name_cell, "__name__"); }

PyObject* interned_all_attribute() { return intern_once(all_cell, "__all__"); }

}  // namespace palettra
