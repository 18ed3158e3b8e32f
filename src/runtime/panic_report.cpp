#include "runtime/panic_report.hpp"

#include <cstdio>
#include <string>

namespace palettra {
namespace {

// Source paths arrive as the compiler saw them; keep only the part below the
// source tree so reports read the same on every build machine.
std::string_view source_relative(std::string_view path) {
  const std::string_view marker = "src/";
  const auto at = path.rfind(marker);
  return at == std::string_view::npos ? path : path.substr(at);
}

}  // namespace

void write_panic_report(std::string_view message, const std::source_location& where) noexcept {
  // The module starts no threads of its own, so every panicking thread is one
  // it did not name.
  const std::string_view file = source_relative(where.file_name());
  std::fprintf(stderr, "palettra panicked in an unnamed thread at %.*s:%u:\n%.*s\n",
               static_cast<int>(file.size()), file.data(), static_cast<unsigned>(where.line()),
               static_cast<int>(message.size()), message.data());
  std::fflush(stderr);
}

}  // namespace palettra
