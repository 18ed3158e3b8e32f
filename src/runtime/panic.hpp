// Panics: invariant violations that unwind to the nearest boundary guard.
#pragma once

#include <source_location>
#include <string>

namespace palettra {

// The one exception type this module throws, besides std::bad_alloc for
// memory it cannot get. Deliberately not derived from
// std::exception so that no generic handler can swallow it on the way out.
class Panic {
 public:
  explicit Panic(std::string message) : message_(std::move(message)) {}
  // Moves the text out without allocating, for handlers that must not throw.
  std::string take_message() noexcept { return std::move(message_); }

 private:
  std::string message_;
};

// Writes the panic report to standard error, then throws a Panic.
[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());

// Throws a Panic without writing a report: the panic was reported when it
// first started and is only continuing its way out.
[[noreturn]] void resume_panic(std::string message);

}  // namespace palettra
