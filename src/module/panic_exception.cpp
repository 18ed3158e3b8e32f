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
  if (made == nullptr) {
    // Fetching through PendingError::fetch would ask for this very type again.
    PyObject* raised = PyErr_GetRaisedException();
    PendingError error =
        raised != nullptr
            ? PendingError::normalized(Ref::steal(raised))
            : PendingError::with_message(PyExc_SystemError,
                                         "attempted to fetch exception but none was set");
    panic_with_error("Failed to initialize new exception type.", std::move(error));
  }
  // Creating the type can run Python code; whoever stored first keeps the cell.
  if (cached_type == nullptr) {
    cached_type = made;
  } else {
    Py_DECREF(made);
  }
  return cached_type;
}

PendingError panic_exception_error(std::string message) {
  return PendingError::lazy([message = std::move(message)]() {
    Ref text = Ref::steal(expect_constructed(
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()))));
    PyObject* args = expect_constructed(PyTuple_New(1));
    PyTuple_SET_ITEM(args, 0, text.release());
    return ExceptionParts{Ref::borrow(panic_exception_type()), Ref::steal(args)};
  });
}

}  // namespace palettra
