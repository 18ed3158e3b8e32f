// The module shell's internal paths, reachable from Python: the generic
// binder over several parameter lists, the value conversions, pending errors
// and the boundary guard. Every entry but nesting_depth runs inside the guard,
// as a real entry does.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "module/boundary_guard.hpp"
#include "module/call_binding.hpp"
#include "module/conversions.hpp"
#include "module/nesting_counter.hpp"
#include "module/object_text.hpp"
#include "module/pending_error.hpp"
#include "module/py_ref.hpp"
#include "runtime/panic.hpp"
#include "test_functions.hpp"

namespace palettra::testing {
namespace {

template <class Entry>
PyCFunction as_method(Entry entry) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

Result<PyObject*> raised() { return fail(PendingError::fetch_after_failure()); }

PyObject* new_str(std::string_view text) {
  return expect_constructed(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// Parameter lists that between them produce every binding message.

// Klass.method(a, b, /, c, *, d, e, f) with only a, d and f required.
constexpr std::array<std::string_view, 3> kMethodPositional{"a", "b", "c"};
constexpr std::array<KeywordOnlyParameter, 3> kMethodKeywordOnly{
    {{"d", true}, {"e", false}, {"f", true}}};
constexpr FunctionDescription kMethod{
    .function_name = "method",
    .class_name = "Klass",
    .positional_names = kMethodPositional,
    .positional_only_count = 2,
    .required_positional_count = 1,
    .keyword_only = kMethodKeywordOnly,
};

// triple(x, y, z)
constexpr std::array<std::string_view, 3> kTriplePositional{"x", "y", "z"};
constexpr FunctionDescription kTriple{
    .function_name = "triple",
    .class_name = std::nullopt,
    .positional_names = kTriplePositional,
    .positional_only_count = 0,
    .required_positional_count = 3,
    .keyword_only = {},
};

// keywords(*, p, q, r, s)
constexpr std::array<KeywordOnlyParameter, 4> kKeywordsKeywordOnly{
    {{"p", true}, {"q", true}, {"r", true}, {"s", true}}};
constexpr FunctionDescription kKeywords{
    .function_name = "keywords",
    .class_name = std::nullopt,
    .positional_names = {},
    .positional_only_count = 0,
    .required_positional_count = 0,
    .keyword_only = kKeywordsKeywordOnly,
};

Result<const FunctionDescription*> description_named(PyObject* name) {
  const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8(name) : nullptr;
  if (text == nullptr) PyErr_Clear();
  const std::string_view wanted = text != nullptr ? text : "";
  for (const FunctionDescription* description : {&kMethod, &kTriple, &kKeywords}) {
    if (description->function_name == wanted) return description;
  }
  return fail(PendingError::with_message(PyExc_ValueError,
                                         "expected 'method', 'triple' or 'keywords'"));
}

// The bound slots as a tuple, None for a parameter that was not given.
Result<PyObject*> bind_against(PyObject* name, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  Result<const FunctionDescription*> description = description_named(name);
  if (!description) return fail(std::move(description.error()));
  std::vector<PyObject*> slots(
      (*description)->positional_names.size() + (*description)->keyword_only.size(), nullptr);
  if (Status bound = bind_fastcall_arguments(**description, args, nargs, kwnames, slots);
      !bound) {
    return fail(std::move(bound.error()));
  }
  Ref tuple = Ref::steal(expect_constructed(PyTuple_New(static_cast<Py_ssize_t>(slots.size()))));
  for (std::size_t i = 0; i < slots.size(); ++i) {
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i),
                     Py_NewRef(slots[i] != nullptr ? slots[i] : Py_None));
  }
  return tuple.release();
}

// bind_as(name, *args, **kwargs): binds the call as the interpreter passes it.
PyObject* bind_as(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard_entry([&]() -> Result<PyObject*> {
    if (nargs < 1) {
      return fail(PendingError::with_message(PyExc_TypeError, "bind_as needs a list name"));
    }
    return bind_against(args[0], args + 1, nargs - 1, kwnames);
  });
}
RegisterTestFunction bind_as_function{
    {"bind_as", as_method(bind_as), METH_FASTCALL | METH_KEYWORDS, nullptr}};

// bind_raw(name, values, kwnames): the keyword names need not be strs, may
// repeat, and an empty call passes no argument array at all.
PyObject* bind_raw(PyObject*, PyObject* arguments) noexcept {
  return guard_entry([&]() -> Result<PyObject*> {
    PyObject* name = nullptr;
    PyObject* values = nullptr;
    PyObject* kwnames = nullptr;
    if (!PyArg_ParseTuple(arguments, "OO!O", &name, &PyTuple_Type, &values, &kwnames)) {
      return raised();
    }
    if (kwnames == Py_None) kwnames = nullptr;
    if (kwnames != nullptr && !PyTuple_Check(kwnames)) {
      return fail(PendingError::with_message(PyExc_TypeError, "kwnames must be a tuple or None"));
    }
    const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    const Py_ssize_t nargs = PyTuple_GET_SIZE(values) - keywords;
    if (nargs < 0) {
      return fail(PendingError::with_message(PyExc_ValueError, "fewer values than kwnames"));
    }
    PyObject* const* args =
        PyTuple_GET_SIZE(values) != 0 ? reinterpret_cast<PyTupleObject*>(values)->ob_item : nullptr;
    return bind_against(name, args, nargs, kwnames);
  });
}
RegisterTestFunction bind_raw_function{
    {"bind_raw", as_method(bind_raw), METH_VARARGS, nullptr}};

// wrap_argument_error(name, exception): raises what the argument wrapping
// makes of `exception`.
PyObject* wrap_argument_error(PyObject*, PyObject* arguments) noexcept {
  return guard_entry([&]() -> Result<PyObject*> {
    const char* name = nullptr;
    Py_ssize_t size = 0;
    PyObject* exception = nullptr;
    if (!PyArg_ParseTuple(arguments, "s#O!", &name, &size, PyExc_BaseException, &exception)) {
      return raised();
    }
    return fail(argument_error(std::string_view(name, static_cast<std::size_t>(size)),
                               PendingError::normalized(Ref::borrow(exception))));
  });
}
RegisterTestFunction wrap_argument_error_function{
    {"wrap_argument_error", as_method(wrap_argument_error), METH_VARARGS, nullptr}};

PyObject* extract_u64(PyObject*, PyObject* object) noexcept {
  return guard_entry([&]() -> Result<PyObject*> {
    Result<std::uint64_t> value = palettra::extract_u64(object);
    if (!value) return fail(std::move(value.error()));
    return expect_constructed(PyLong_FromUnsignedLongLong(*value));
  });
}
RegisterTestFunction extract_u64_function{{"extract_u64", as_method(extract_u64), METH_O, nullptr}};

PyObject* extract_triple(PyObject*, PyObject* object) noexcept {
  return guard_entry([&]() -> Result<PyObject*> {
    Result<Triple> values = palettra::extract_triple(object);
    if (!values) return fail(std::move(values.error()));
    const auto [a, b, c] = *values;
    return expect_constructed(Py_BuildValue("(KKK)", a, b, c));
  });
}
RegisterTestFunction extract_triple_function{
    {"extract_triple", as_method(extract_triple), METH_O, nullptr}};

// panic_with(message): a body that panics.
PyObject* panic_with(PyObject*, PyObject* message) noexcept {
  return guard_entry([&]() -> Result<PyObject*> {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(message, &size);
    if (text == nullptr) return raised();
    panic(std::string(text, static_cast<std::size_t>(size)));
  });
}
RegisterTestFunction panic_with_function{{"panic_with", as_method(panic_with), METH_O, nullptr}};

// call_guarded(callable): calls back into Python from inside an entry.
PyObject* call_guarded(PyObject*, PyObject* callable) noexcept {
  return guard_entry([&]() -> Result<PyObject*> {
    Ref result = Ref::steal(PyObject_CallNoArgs(callable));
    if (!result) return raised();
    return result.release();
  });
}
RegisterTestFunction call_guarded_function{
    {"call_guarded", as_method(call_guarded), METH_O, nullptr}};

// Instances report failure from attribute access and __index__ without
// setting an exception, as a careless extension type may.
PyObject* fail_silently(PyObject*, PyObject*) noexcept { return nullptr; }
PyObject* fail_silently_unary(PyObject*) noexcept { return nullptr; }

PyType_Slot silent_slots[] = {
    {Py_tp_getattro, reinterpret_cast<void*>(fail_silently)},
    {Py_nb_index, reinterpret_cast<void*>(fail_silently_unary)},
    {0, nullptr},
};
PyType_Spec silent_spec{
    .name = "_palettra_testing.Silent",
    .basicsize = 0,
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = silent_slots,
};

PyObject* silent_failure_object(PyObject*, PyObject*) noexcept {
  return guard_entry([&]() -> Result<PyObject*> {
    static PyObject* type = nullptr;
    if (type == nullptr) {
      type = PyType_FromSpec(&silent_spec);
      if (type == nullptr) return raised();
    }
    Ref instance = Ref::steal(PyObject_CallNoArgs(type));
    if (!instance) return raised();
    return instance.release();
  });
}
RegisterTestFunction silent_failure_object_function{
    {"silent_failure_object", as_method(silent_failure_object), METH_NOARGS, nullptr}};

// A constructor that must not fail, failing: a str from bytes that are not
// UTF-8.
PyObject* fail_constructor(PyObject*, PyObject*) noexcept {
  return guard_entry([&]() -> Result<PyObject*> {
    return expect_constructed(PyUnicode_FromStringAndSize("\xff", 1));
  });
}
RegisterTestFunction fail_constructor_function{
    {"fail_constructor", as_method(fail_constructor), METH_NOARGS, nullptr}};

// raise_lazy(type, value): a lazy error that produces exactly these two.
PyObject* raise_lazy(PyObject*, PyObject* arguments) noexcept {
  return guard_entry([&]() -> Result<PyObject*> {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    if (!PyArg_ParseTuple(arguments, "OO", &type, &value)) return raised();
    return fail(PendingError::lazy(
        [type = Ref::borrow(type), value = Ref::borrow(value)]() mutable {
          return ExceptionParts{std::move(type), std::move(value)};
        }));
  });
}
RegisterTestFunction raise_lazy_function{
    {"raise_lazy", as_method(raise_lazy), METH_VARARGS, nullptr}};

// A lazy error whose producer panics while the guard restores it, outside
// the region that catches panics.
PyObject* raise_lazy_panicking(PyObject*, PyObject*) noexcept {
  return guard_entry([&]() -> Result<PyObject*> {
    return fail(PendingError::lazy([]() -> ExceptionParts { panic("the producer gave up"); }));
  });
}
RegisterTestFunction raise_lazy_panicking_function{
    {"raise_lazy_panicking", as_method(raise_lazy_panicking), METH_NOARGS, nullptr}};

// A body that throws something other than a panic.
PyObject* throw_foreign(PyObject*, PyObject*) noexcept {
  return guard_entry([&]() -> Result<PyObject*> { throw std::runtime_error("not a panic"); });
}
RegisterTestFunction throw_foreign_function{
    {"throw_foreign", as_method(throw_foreign), METH_NOARGS, nullptr}};

PyObject* object_text(PyObject*, PyObject* object) noexcept {
  return guard_entry([&]() -> Result<PyObject*> {
    std::string out;
    write_object_text(out, object);
    return new_str(out);
  });
}
RegisterTestFunction object_text_function{
    {"object_text", as_method(object_text), METH_O, nullptr}};

PyObject* object_repr_text(PyObject*, PyObject* object) noexcept {
  return guard_entry([&]() -> Result<PyObject*> {
    std::string out;
    write_object_repr(out, object);
    return new_str(out);
  });
}
RegisterTestFunction object_repr_text_function{
    {"object_repr_text", as_method(object_repr_text), METH_O, nullptr}};

// debug_text(exception): the debug rendering of an error fetched as it is.
PyObject* debug_text(PyObject*, PyObject* exception) noexcept {
  return guard_entry([&]() -> Result<PyObject*> {
    std::string out;
    PendingError::normalized(Ref::borrow(exception)).write_debug(out);
    return new_str(out);
  });
}
RegisterTestFunction debug_text_function{
    {"debug_text", as_method(debug_text), METH_O, nullptr}};

// debug_text_of_message(type, message): the same for a lazy error.
PyObject* debug_text_of_message(PyObject*, PyObject* arguments) noexcept {
  return guard_entry([&]() -> Result<PyObject*> {
    PyObject* type = nullptr;
    const char* message = nullptr;
    Py_ssize_t size = 0;
    if (!PyArg_ParseTuple(arguments, "Os#", &type, &message, &size)) return raised();
    std::string out;
    PendingError::with_message(type, std::string(message, static_cast<std::size_t>(size)))
        .write_debug(out);
    return new_str(out);
  });
}
RegisterTestFunction debug_text_of_message_function{
    {"debug_text_of_message", as_method(debug_text_of_message), METH_VARARGS, nullptr}};

// panic_with_error(text, exception): a panic caused by a pending error.
PyObject* panic_with_error(PyObject*, PyObject* arguments) noexcept {
  return guard_entry([&]() -> Result<PyObject*> {
    const char* text = nullptr;
    Py_ssize_t size = 0;
    PyObject* exception = nullptr;
    if (!PyArg_ParseTuple(arguments, "s#O", &text, &size, &exception)) return raised();
    palettra::panic_with_error(std::string_view(text, static_cast<std::size_t>(size)),
                               PendingError::normalized(Ref::borrow(exception)));
  });
}
RegisterTestFunction panic_with_error_function{
    {"panic_with_error", as_method(panic_with_error), METH_VARARGS, nullptr}};

// Not guarded: the guard would count this very call.
PyObject* nesting_depth(PyObject*, PyObject*) noexcept {
  return PyLong_FromLong(palettra::nesting_depth());
}
RegisterTestFunction nesting_depth_function{
    {"nesting_depth", as_method(nesting_depth), METH_NOARGS, nullptr}};

}  // namespace
}  // namespace palettra::testing
