// The report written to standard error when a panic starts.
#pragma once

#include <source_location>
#include <string_view>

namespace palettra {

void write_panic_report(std::string_view message, const std::source_location& where) noexcept;

}  // namespace palettra
