#include "entry_points/convert_function.hpp"

#include <array>
#include <string_view>

#include "mapping/convert.hpp"
#include "module/boundary_guard.hpp"
#include "module/call_binding.hpp"

namespace palettra {
namespace {

constexpr std::array<std::string_view, 2> kPositionalNames = {"img", "color_palette"};

constexpr FunctionDescription kConvertDescription{
    .function_name = "convert",
    .class_name = std::nullopt,
    .positional_names = kPositionalNames,
    .positional_only_count = 0,
    .required_positional_count = 2,
    .keyword_only = {},
};

PyObject* convert_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  return guard_entry([&]() -> Result<PyObject*> {
    std::array<PyObject*, 2> slots{};
    if (Status bound = bind_fastcall_arguments(kConvertDescription, args, nargs, kwnames, slots);
        !bound) {
      return fail(std::move(bound.error()));
    }
    return convert_image(slots[0], slots[1]);
  });
}

}  // namespace

const MethodDescription kConvertMethod{
    "convert",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(convert_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "convert(img, color_palette)\n--\n\n",
};

}  // namespace palettra
