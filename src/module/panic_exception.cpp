#include "module/panic_exception.hpp"

#include "module/py_ref.hpp"

namespace palettra {
namespace {

constexpr const char kName[] = "palettra_runtime.PanicException";
constexpr const char kDoc[] =
    "\n"
    "The exception raised when native code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
static_assert(sizeof(kDoc) - 1 == 237);

PyObject* cached_type = nullptr;

}  // namespace

PyObject* panic_exception_type() {
  if (cached_type != nullptr) return cached_type;
  PyObject* made = PyErr_NewExceptionWithDoc(kName, kDoc, PyExc_BaseException, nullptr);
  if (made == nullptr) return nullptr;
  // Creating the type can run Python code; whoever stored first keeps the cell.
  if (cached_type == nullptr) {
    cached_type = made;
  } else {
    Py_DECREF(made);
  }
  return cached_type;
}

PendingError panic_exception_error(std::string message) {
  return PendingError::lazy([message = std::move(message)]() -> ExceptionParts {
    Ref text = exception_text(message);
    if (!text) return {};
    Ref args = Ref::steal(PyTuple_New(1));
    if (!args) return {};
    PyTuple_SET_ITEM(args.get(), 0, text.release());
    PyObject* type = panic_exception_type();
    if (type == nullptr) return {};
    return {Ref::borrow(type), std::move(args)};
  });
}

}  // namespace palettra
