#include "module/pending_error.hpp"

#include <cstdio>
#include <new>

#include "module/nesting_counter.hpp"
#include "module/object_text.hpp"
#include "module/panic_exception.hpp"
#include "runtime/panic.hpp"

namespace palettra {
namespace {

bool is_exception_class(PyObject* type) {
  return PyType_Check(type) &&
         PyType_FastSubclass(reinterpret_cast<PyTypeObject*>(type), Py_TPFLAGS_BASE_EXC_SUBCLASS);
}

// A panic of this module that has travelled through Python code: report it
// the way it arrived and continue unwinding with the same message.
[[noreturn]] void resume_fetched_panic(Ref instance) {
  std::string message;
  if (Ref text = Ref::steal(PyObject_Str(instance.get()))) {
    append_lossy_utf8(message, text.get());
  } else {
    PyErr_Clear();
    message = "Unwrapped panic from Python code";
  }
  std::fputs("--- palettra is resuming a panic after fetching a PanicException from Python. ---\n",
             stderr);
  std::fputs("Python stack trace below:\n", stderr);
  std::fflush(stderr);
  PyErr_SetRaisedException(instance.release());
  PyErr_PrintEx(0);
  resume_panic(std::move(message));
}

// Diagnostics may be asked for outside any entry point, where this thread may
// not hold the interpreter lock.
class LockUnlessInsideEntry {
 public:
  LockUnlessInsideEntry() : taken_(nesting_depth() == 0) {
    if (taken_) state_ = PyGILState_Ensure();
  }
  ~LockUnlessInsideEntry() {
    if (taken_) PyGILState_Release(state_);
  }
  LockUnlessInsideEntry(const LockUnlessInsideEntry&) = delete;
  LockUnlessInsideEntry& operator=(const LockUnlessInsideEntry&) = delete;

 private:
  bool taken_;
  PyGILState_STATE state_{};
};

}  // namespace

PendingError PendingError::lazy(ExceptionProducer producer) {
  return PendingError(State(std::move(producer)));
}

Ref exception_text(std::string_view text) {
  return Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PendingError PendingError::with_message(PyObject* type, std::string message) {
  return lazy([type, message = std::move(message)]() -> ExceptionParts {
    Ref text = exception_text(message);
    if (!text) return {};
    return {Ref::borrow(type), std::move(text)};
  });
}

PendingError PendingError::normalized(Ref instance) { return PendingError(State(std::move(instance))); }

PendingError PendingError::out_of_memory() noexcept { return PendingError(State(OutOfMemory{})); }

std::optional<PendingError> PendingError::fetch() {
  Ref instance = Ref::steal(PyErr_GetRaisedException());
  if (!instance) return std::nullopt;
  // The first fetch is the type's first need. Should making it fail, no
  // exception can be of it yet: the fetch goes on with the error it holds,
  // and the type is tried again at its next need. Fetching the failure here
  // would need the type once more.
  PyObject* own_panic = panic_exception_type();
  if (own_panic == nullptr) PyErr_Clear();
  if (own_panic != nullptr && reinterpret_cast<PyObject*>(Py_TYPE(instance.get())) == own_panic) {
    resume_fetched_panic(std::move(instance));
  }
  return normalized(std::move(instance));
}

PendingError PendingError::fetch_after_failure() {
  if (std::optional<PendingError> error = fetch()) return std::move(*error);
  return with_message(PyExc_SystemError, "attempted to fetch exception but none was set");
}

void PendingError::restore() && {
  State state = std::exchange(state_, std::monostate{});
  if (Ref* instance = std::get_if<Ref>(&state)) {
    PyErr_SetRaisedException(instance->release());
    return;
  }
  if (std::holds_alternative<OutOfMemory>(state)) {
    PyErr_NoMemory();
    return;
  }
  ExceptionProducer* producer = std::get_if<ExceptionProducer>(&state);
  if (producer == nullptr) panic("a pending error reached the interpreter without an exception");
  // With no memory left for the error, the caller learns that instead.
  ExceptionParts parts;
  try {
    parts = (*producer)();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return;
  }
  state = std::monostate{};
  if (!parts.type) return;
  if (is_exception_class(parts.type.get())) {
    PyErr_SetObject(parts.type.get(), parts.value.get());
  } else {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  }
}

PyObject* PendingError::normalize() {
  State state = std::exchange(state_, std::monostate{});
  if (std::holds_alternative<std::monostate>(state)) {
    panic("the pending error is being normalized already");
  }
  if (!std::holds_alternative<Ref>(state)) {
    PendingError(std::move(state)).restore();
    Ref instance = Ref::steal(PyErr_GetRaisedException());
    if (!instance) panic("exception missing after writing to the interpreter");
    state = std::move(instance);
  }
  state_ = std::move(state);
  return std::get<Ref>(state_).get();
}

void PendingError::write_debug(std::string& out) {
  LockUnlessInsideEntry lock;
  PyObject* instance = normalize();
  Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(instance)));
  Ref traceback = Ref::steal(PyException_GetTraceback(instance));
  out += "PendingError { type: ";
  write_object_repr(out, type.get());
  out += ", value: ";
  write_object_repr(out, instance);
  out += ", traceback: ";
  if (traceback) {
    write_object_repr(out, traceback.get());
  } else {
    out += "None";
  }
  out += " }";
}

void constructor_failed(std::source_location where) {
  PyErr_Print();
  panic("Python API call failed", where);
}

void panic_with_error(std::string_view text, PendingError error, std::source_location where) {
  std::string message(text);
  message += ": ";
  error.write_debug(message);
  panic(std::move(message), where);
}

}  // namespace palettra
