// Lists of parameter names inside messages: 'a', 'a' and 'b', 'a', 'b', and 'c'.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace palettra {

void write_parameter_list(std::string& out, std::span<const std::string_view> names);

}  // namespace palettra
