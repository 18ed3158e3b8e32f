#include "module/call_binding.hpp"

#include <string>
#include <vector>

#include "module/object_text.hpp"
#include "module/parameter_list.hpp"
#include "module/py_ref.hpp"

namespace palettra {
namespace {

std::string display_name(const FunctionDescription& description) {
  std::string name;
  if (description.class_name) {
    name += *description.class_name;
    name += '.';
  }
  name += description.function_name;
  name += "()";
  return name;
}

PendingError type_error(std::string message) {
  return PendingError::with_message(PyExc_TypeError, std::move(message));
}

PendingError too_many_positional_arguments(const FunctionDescription& description,
                                           Py_ssize_t given) {
  const std::size_t positional = description.positional_names.size();
  std::string message = display_name(description) + " takes ";
  if (description.required_positional_count < positional) {
    message += "from " + std::to_string(description.required_positional_count) + " to ";
  }
  message += std::to_string(positional) + " positional arguments but " + std::to_string(given);
  message += given == 1 ? " was given" : " were given";
  return type_error(std::move(message));
}

PendingError multiple_values_for_argument(const FunctionDescription& description,
                                          std::string_view name) {
  std::string message = display_name(description) + " got multiple values for argument '";
  message += name;
  message += '\'';
  return type_error(std::move(message));
}

PendingError unexpected_keyword_argument(const FunctionDescription& description,
                                         PyObject* name) {
  std::string message = display_name(description) + " got an unexpected keyword argument '";
  write_object_text(message, name);
  message += '\'';
  return type_error(std::move(message));
}

PendingError positional_only_keyword_arguments(const FunctionDescription& description,
                                               std::span<const std::string_view> names) {
  std::string message =
      display_name(description) +
      " got some positional-only arguments passed as keyword arguments: ";
  write_parameter_list(message, names);
  return type_error(std::move(message));
}

PendingError missing_required_arguments(const FunctionDescription& description,
                                        std::string_view kind,
                                        std::span<const std::string_view> names) {
  std::string message = display_name(description) + " missing " + std::to_string(names.size()) +
                        " required ";
  message += kind;
  message += names.size() == 1 ? " argument: " : " arguments: ";
  write_parameter_list(message, names);
  return type_error(std::move(message));
}

PendingError missing_required_positional_arguments(const FunctionDescription& description,
                                                   std::span<PyObject* const> slots) {
  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < description.required_positional_count; ++i) {
    if (slots[i] == nullptr) missing.push_back(description.positional_names[i]);
  }
  return missing_required_arguments(description, "positional", missing);
}

PendingError missing_required_keyword_arguments(const FunctionDescription& description,
                                                std::span<PyObject* const> keyword_slots) {
  std::vector<std::string_view> missing;
  for (std::size_t m = 0; m < description.keyword_only.size(); ++m) {
    const KeywordOnlyParameter& parameter = description.keyword_only[m];
    if (parameter.required && keyword_slots[m] == nullptr) missing.push_back(parameter.name);
  }
  return missing_required_arguments(description, "keyword", missing);
}

template <class Names, class NameOf>
std::optional<std::size_t> find_name(const Names& names, std::string_view text, NameOf name_of) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (name_of(names[i]) == text) return i;
  }
  return std::nullopt;
}

}  // namespace

Status bind_fastcall_arguments(const FunctionDescription& description, PyObject* const* args,
                               Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots) {
  const std::size_t positional = description.positional_names.size();
  const std::size_t given = static_cast<std::size_t>(nargs);
  if (args != nullptr) {
    for (std::size_t i = 0; i < std::min(positional, given); ++i) slots[i] = args[i];
    if (given > positional) return fail(too_many_positional_arguments(description, nargs));
  }

  std::span<PyObject*> keyword_slots = slots.subspan(positional);
  std::vector<std::string_view> positional_only_by_keyword;
  const Py_ssize_t keyword_count = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keyword_count; ++k) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, k);
    PyObject* value = args[nargs + k];
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    if (utf8 == nullptr) {
      PendingError::fetch_after_failure();
      return fail(unexpected_keyword_argument(description, name));
    }
    const std::string_view text(utf8, static_cast<std::size_t>(size));

    if (auto m = find_name(description.keyword_only, text,
                           [](const KeywordOnlyParameter& p) { return p.name; })) {
      if (keyword_slots[*m] != nullptr) {
        return fail(multiple_values_for_argument(description, text));
      }
      keyword_slots[*m] = value;
      continue;
    }
    if (auto i = find_name(description.positional_names, text,
                           [](std::string_view n) { return n; })) {
      if (*i < description.positional_only_count) {
        positional_only_by_keyword.push_back(text);
      } else if (slots[*i] != nullptr) {
        return fail(multiple_values_for_argument(description, text));
      } else {
        slots[*i] = value;
      }
      continue;
    }
    return fail(unexpected_keyword_argument(description, name));
  }

  if (!positional_only_by_keyword.empty()) {
    return fail(positional_only_keyword_arguments(description, positional_only_by_keyword));
  }
  if (given < description.required_positional_count) {
    for (std::size_t i = given; i < description.required_positional_count; ++i) {
      if (slots[i] == nullptr) return fail(missing_required_positional_arguments(description, slots));
    }
  }
  for (std::size_t m = 0; m < description.keyword_only.size(); ++m) {
    if (description.keyword_only[m].required && keyword_slots[m] == nullptr) {
      return fail(missing_required_keyword_arguments(description, keyword_slots));
    }
  }
  return {};
}

PendingError argument_error(std::string_view argument_name, PendingError inner) {
  PyObject* inner_instance = inner.normalize();
  if (reinterpret_cast<PyObject*>(Py_TYPE(inner_instance)) != PyExc_TypeError) return inner;

  std::string message = "argument '";
  message += argument_name;
  message += "': ";
  write_object_text(message, inner_instance);
  PendingError outer = PendingError::with_message(PyExc_TypeError, std::move(message));
  PyObject* outer_instance = outer.normalize();
  // SetCause steals its argument and, even for null, suppresses the context.
  PyException_SetCause(outer_instance, PyException_GetCause(inner_instance));
  return outer;
}

}  // namespace palettra
