#include "runtime/panic.hpp"

#include "runtime/panic_report.hpp"

namespace palettra {

void panic(std::string message, std::source_location where) {
  write_panic_report(message, where);
  throw Panic(std::move(message));
}

void resume_panic(std::string message) { throw Panic(std::move(message)); }

}  // namespace palettra
