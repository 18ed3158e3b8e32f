// Ordinary failures on their way back to the boundary.
#pragma once

#include <Python.h>

#include <expected>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>
#include <variant>

#include "module/py_ref.hpp"
#include "runtime/unique_function.hpp"

namespace palettra {

// Null parts stand for an exception that could not be made: the
// interpreter's own error (out of memory) is set and is raised in its place.
struct ExceptionParts {
  Ref type;
  Ref value;
};

// Runs at most once, with the interpreter lock held, when the error is
// restored or inspected.
using ExceptionProducer = UniqueFunction<ExceptionParts>;

// Makes a str of `text` for an exception under construction; null, with the
// interpreter's MemoryError set, when there is no memory for it.
Ref exception_text(std::string_view text);

class PendingError {
 public:
  // An error produced on demand; no Python object exists before it runs.
  static PendingError lazy(ExceptionProducer producer);
  // An error of `type` whose single argument is `message` as a str.
  static PendingError with_message(PyObject* type, std::string message);
  // An exception instance taken from the interpreter.
  static PendingError normalized(Ref instance);
  // A MemoryError, made without allocating anything.
  static PendingError out_of_memory() noexcept;

  // Takes the interpreter's current exception, if any. This module's own
  // PanicException coming back out of Python code resumes the panic instead.
  static std::optional<PendingError> fetch();
  // fetch() after a call that reported failure: a missing exception becomes
  // SystemError "attempted to fetch exception but none was set".
  static PendingError fetch_after_failure();

  PendingError(PendingError&&) noexcept = default;
  PendingError& operator=(PendingError&&) noexcept = default;

  // Makes the error the interpreter's current exception.
  void restore() &&;
  // Makes sure the exception instance exists and returns it (borrowed).
  PyObject* normalize();
  // Appends "PendingError { type: ..., value: ..., traceback: ... }".
  void write_debug(std::string& out);

 private:
  struct OutOfMemory {};
  using State = std::variant<std::monostate, ExceptionProducer, Ref, OutOfMemory>;
  explicit PendingError(State state) noexcept : state_(std::move(state)) {}
  State state_;
};

template <class T>
using Result = std::expected<T, PendingError>;
using Status = Result<void>;

inline std::unexpected<PendingError> fail(PendingError error) {
  return std::unexpected<PendingError>(std::move(error));
}

// For interpreter constructors that must not fail: prints the interpreter's
// error and panics with "Python API call failed".
[[noreturn]] void constructor_failed(
    std::source_location where = std::source_location::current());

// Panics with `text`, ": " and the debug rendering of `error`.
[[noreturn]] void panic_with_error(
    std::string_view text, PendingError error,
    std::source_location where = std::source_location::current());

// Checks the result of an interpreter constructor that must not fail.
inline PyObject* expect_constructed(PyObject* object) {
  if (object == nullptr) constructor_failed();
  return object;
}

}  // namespace palettra
