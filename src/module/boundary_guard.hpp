// What every entry point the interpreter calls runs around its body.
#pragma once

#include <Python.h>

#include <optional>
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

// Runs `body`; gives the pending error to raise, if any. A panic becomes a
// PanicException; anything else thrown springs the trap.
template <class Body>
std::optional<PendingError> run_body(FailureTrap& trap, Body&& body) noexcept {
  std::optional<std::string> panic_message;
  try {
    auto outcome = std::forward<Body>(body)();
    if (outcome) return std::nullopt;
    return std::move(outcome.error());
  } catch (Panic& caught) {
    panic_message = caught.message();
  } catch (...) {
    trap.spring();
  }
  std::optional<PendingError> converted;
  trap.run([&] { converted = panic_exception_error(std::move(*panic_message)); });
  return converted;
}

}  // namespace detail

// For entries that return an object: null with the exception set on failure.
template <class Body>
PyObject* guard_entry(Body&& body) noexcept {
  FailureTrap trap("uncaught panic at ffi boundary");
  NestingScope nesting;
  PyObject* result = nullptr;
  std::optional<PendingError> failure = detail::run_body(trap, [&]() -> Status {
    Result<PyObject*> outcome = std::forward<Body>(body)();
    if (!outcome) return fail(std::move(outcome.error()));
    result = *outcome;
    return {};
  });
  if (failure) trap.run([&] { std::move(*failure).restore(); });
  return result;
}

// For deallocation slots, which have no way to report failure: a panic goes
// to the interpreter's unraisable hook.
template <class Body>
void guard_deallocation(Body&& body) noexcept {
  FailureTrap trap("uncaught panic at ffi boundary");
  NestingScope nesting;
  std::optional<PendingError> failure = detail::run_body(trap, [&]() -> Status {
    std::forward<Body>(body)();
    return {};
  });
  if (failure) {
    trap.run([&] {
      std::move(*failure).restore();
      PyErr_WriteUnraisable(nullptr);
    });
  }
}

}  // namespace palettra
