#include "module/conversions.hpp"

#include <limits>
#include <string>

#include "module/downcast_error.hpp"
#include "module/py_ref.hpp"

namespace palettra {
namespace {

constexpr std::uint64_t kAllBits = std::numeric_limits<std::uint64_t>::max();

// All bits set is both a valid value and the interpreter's failure marker.
Result<std::uint64_t> checked_unsigned(PyObject* integer) {
  const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
  if (value == kAllBits) {
    if (std::optional<PendingError> error = PendingError::fetch()) return fail(std::move(*error));
  }
  return value;
}

}  // namespace

Result<std::uint64_t> extract_u64(PyObject* object) {
  if (PyLong_Check(object)) return checked_unsigned(object);
  Ref index = Ref::steal(PyNumber_Index(object));
  if (!index) return fail(PendingError::fetch_after_failure());
  return checked_unsigned(index.get());
}

Result<Triple> extract_triple(PyObject* object) {
  if (!PyTuple_Check(object)) return fail(downcast_error(object, kPyTuple));
  if (PyTuple_GET_SIZE(object) != 3) return fail(wrong_tuple_length(object, 3));
  Triple values{};
  for (Py_ssize_t i = 0; i < 3; ++i) {
    Result<std::uint64_t> value = extract_u64(PyTuple_GET_ITEM(object, i));
    if (!value) return fail(std::move(value.error()));
    values[static_cast<std::size_t>(i)] = *value;
  }
  return values;
}

PendingError wrong_tuple_length(PyObject* tuple, Py_ssize_t expected) {
  std::string message = "expected tuple of length " + std::to_string(expected) +
                        ", but got tuple of length " + std::to_string(PyTuple_GET_SIZE(tuple));
  return PendingError::with_message(PyExc_ValueError, std::move(message));
}

}  // namespace palettra
