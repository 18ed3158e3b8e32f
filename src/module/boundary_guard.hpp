// What every entry point the interpreter calls runs around its body.
#pragma once

#include <Python.h>

#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "module/nesting_counter.hpp"
#include "module/panic_exception.hpp"
#include "module/pending_error.hpp"
#include "runtime/panic.hpp"

namespace palettra {

// Armed for the length of one entry. Anything thrown past the point where
// the guard could still turn it into a Python exception ends the process.
class FailureTrap {
 public:
  explicit FailureTrap(std::string_view message) noexcept : message_(message) {}

  template <class Step>
  void run(Step&& step) noexcept {
    try {
      std::forward<Step>(step)();
    } catch (...) {
      spring();
    }
  }

  [[noreturn]] void spring() const noexcept;

 private:
  std::string_view message_;
};

namespace detail {

// Runs `body` and makes its failure, if any, the interpreter's current
// exception: a pending error as it is, a panic as a PanicException, anything
// else thrown as a PanicException "panic from native code", and running out
// of memory, there or while reporting, as MemoryError. Only a panic while
// reporting, which has no one left to report to, springs the trap.
template <class Body>
void run_and_report(FailureTrap& trap, Body&& body) noexcept {
  std::optional<PendingError> failure;
  std::optional<std::string> panic_message;
  bool foreign = false;
  try {
    Status outcome = std::forward<Body>(body)();
    if (outcome) return;
    failure.emplace(std::move(outcome.error()));
  } catch (Panic& caught) {
    panic_message.emplace(caught.take_message());
  } catch (const std::bad_alloc&) {
    failure.emplace(PendingError::out_of_memory());
  } catch (...) {
    foreign = true;
  }
  trap.run([&] {
    try {
      if (panic_message) failure.emplace(panic_exception_error(std::move(*panic_message)));
      if (foreign) failure.emplace(panic_exception_error("panic from native code"));
    } catch (const std::bad_alloc&) {
      failure.emplace(PendingError::out_of_memory());
    }
    std::move(*failure).restore();
  });
}

}  // namespace detail

// For entries that return an object: null with the exception set on failure.
template <class Body>
PyObject* guard_entry(Body&& body) noexcept {
  FailureTrap trap("uncaught panic at ffi boundary");
  NestingScope nesting;
  PyObject* result = nullptr;
  detail::run_and_report(trap, [&]() -> Status {
    Result<PyObject*> outcome = std::forward<Body>(body)();
    if (!outcome) return fail(std::move(outcome.error()));
    result = *outcome;
    return {};
  });
  return result;
}

// For deallocation slots, which have no way to report failure: the failure
// goes to the interpreter's unraisable hook.
template <class Body>
void guard_deallocation(Body&& body) noexcept {
  FailureTrap trap("uncaught panic at ffi boundary");
  NestingScope nesting;
  bool failed = true;
  detail::run_and_report(trap, [&]() -> Status {
    std::forward<Body>(body)();
    failed = false;
    return {};
  });
  if (failed) PyErr_WriteUnraisable(nullptr);
}

}  // namespace palettra
