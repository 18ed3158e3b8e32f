#include "numpy_bridge/readonly_array.hpp"

#include <string>

#include "module/downcast_error.hpp"
#include "numpy_bridge/borrow_registry.hpp"
#include "numpy_bridge/numpy_api.hpp"
#include "runtime/panic.hpp"

namespace palettra {
namespace {

Ref dtype(PyObject* array) { return Ref::borrow(numpy::as_array(array)->descr); }

Ref word_dtype() { return Ref::steal(numpy::descr_from_type(numpy::kUlong)); }

bool is_equiv_to(PyObject* a, PyObject* b) { return a == b || numpy::equiv_types(a, b); }

bool is_type_of(PyObject* object) {
  if (!numpy::is_array(object) || numpy::as_array(object)->nd != 2) return false;
  Ref own = dtype(object);
  Ref word = word_dtype();
  if (!own || !word) constructor_failed();
  return is_equiv_to(own.get(), word.get());
}

}  // namespace

Result<ReadonlyArray> ReadonlyArray::from_object(PyObject* object) {
  if (!is_type_of(object)) return fail(downcast_error(object, kPyArray));
  Ref array = Ref::borrow(object);
  if (std::expected<void, BorrowError> borrowed = acquire(array.get()); !borrowed) {
    array.reset();
    panic(std::string("borrow of the array was refused: ") + debug_text(borrowed.error()));
  }
  return ReadonlyArray(std::move(array));
}

ReadonlyArray::~ReadonlyArray() {
  // A moved-from array holds no borrow.
  if (array_) release(array_.get());
}

}  // namespace palettra
