// Running out of memory in the module's own C++ code, on demand: this test
// module, and nothing else in the process, gets global allocation functions
// that can be told to throw std::bad_alloc for a range of allocations.
#include <Python.h>
#include <dlfcn.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "entry_points/convert_function.hpp"
#include "test_functions.hpp"

namespace palettra::testing {
namespace {

// What this module's allocations would have used: the process's global
// functions where some library exports them (a sanitizer's runtime checks
// that each block goes back the way it came), else the C allocator.
struct BaseAllocator {
  void* (*allocate)(std::size_t);
  void* (*allocate_array)(std::size_t);
  void (*deallocate)(void*);
  void (*deallocate_array)(void*);
};

template <class Function>
Function exported(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_DEFAULT, name));
}

const BaseAllocator& base_allocator() {
  static const BaseAllocator base = [] {
    BaseAllocator found{
        exported<void* (*)(std::size_t)>("_Znwm"),
        exported<void* (*)(std::size_t)>("_Znam"),
        exported<void (*)(void*)>("_ZdlPv"),
        exported<void (*)(void*)>("_ZdaPv"),
    };
    if (found.allocate && found.allocate_array && found.deallocate && found.deallocate_array) {
      return found;
    }
    return BaseAllocator{std::malloc, std::malloc, std::free, std::free};
  }();
  return base;
}

// Allocations are counted from the moment of arming; those numbered from
// `failing_from` up to, not including, `failing_until` (or all of them from
// `failing_from` on when that is 0) fail.
bool armed = false;
std::uint64_t counted = 0;
std::uint64_t failing_from = 0;
std::uint64_t failing_until = 0;

void* allocate(std::size_t size, void* (*base)(std::size_t)) {
  if (armed) {
    const std::uint64_t index = counted++;
    if (index >= failing_from && (failing_until == 0 || index < failing_until)) {
      throw std::bad_alloc();
    }
  }
  void* block = base(size == 0 ? 1 : size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

// fail_allocations(start, stop): from now on the allocations numbered start
// to stop - 1 throw; stop 0 means every one from start on.
PyObject* fail_allocations(PyObject*, PyObject* arguments) noexcept {
  unsigned long long start = 0;
  unsigned long long stop = 0;
  if (!PyArg_ParseTuple(arguments, "KK", &start, &stop)) return nullptr;
  counted = 0;
  failing_from = start;
  failing_until = stop;
  armed = true;
  Py_RETURN_NONE;
}
RegisterTestFunction fail_allocations_function{
    {"fail_allocations", fail_allocations, METH_VARARGS, nullptr}};

// allow_allocations(): disarms; gives how many allocations were counted.
PyObject* allow_allocations(PyObject*, PyObject*) noexcept {
  armed = false;
  return PyLong_FromUnsignedLongLong(counted);
}
RegisterTestFunction allow_allocations_function{
    {"allow_allocations", allow_allocations, METH_NOARGS, nullptr}};

// convert itself, running on this module's copy of the code.
PyObject* convert(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) noexcept {
  using FastEntry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
  auto entry = reinterpret_cast<FastEntry>(reinterpret_cast<void (*)()>(kConvertMethod.entry));
  return entry(self, args, nargs, kwnames);
}
RegisterTestFunction convert_function{
    {"convert", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(convert)),
     METH_FASTCALL | METH_KEYWORDS, nullptr}};

}  // namespace
}  // namespace palettra::testing

void* operator new(std::size_t size) {
  return palettra::testing::allocate(size, palettra::testing::base_allocator().allocate);
}

void* operator new[](std::size_t size) {
  return palettra::testing::allocate(size, palettra::testing::base_allocator().allocate_array);
}

void operator delete(void* block) noexcept { palettra::testing::base_allocator().deallocate(block); }

void operator delete(void* block, std::size_t) noexcept {
  palettra::testing::base_allocator().deallocate(block);
}

void operator delete[](void* block) noexcept {
  palettra::testing::base_allocator().deallocate_array(block);
}

void operator delete[](void* block, std::size_t) noexcept {
  palettra::testing::base_allocator().deallocate_array(block);
}
