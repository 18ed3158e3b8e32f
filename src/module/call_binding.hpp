// Matching a fast call's arguments to a function's parameters.
#pragma once

#include <Python.h>

#include <optional>
#include <span>
#include <string_view>

#include "module/pending_error.hpp"

namespace palettra {

struct KeywordOnlyParameter {
  std::string_view name;
  bool required;
};

struct FunctionDescription {
  std::string_view function_name;
  std::optional<std::string_view> class_name;
  std::span<const std::string_view> positional_names;
  std::size_t positional_only_count;
  std::size_t required_positional_count;
  std::span<const KeywordOnlyParameter> keyword_only;
};

// Fills one borrowed slot per positional parameter, then one per keyword-only
// parameter; a slot left null was not given. Takes no references.
Status bind_fastcall_arguments(const FunctionDescription& description, PyObject* const* args,
                               Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots);

// Reports a failed conversion of one argument under that argument's name.
// Only an exact TypeError is rewrapped; anything else passes unchanged.
PendingError argument_error(std::string_view argument_name, PendingError inner);

}  // namespace palettra
