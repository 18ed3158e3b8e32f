#include "numpy_bridge/buffer_owner.hpp"

#include "module/boundary_guard.hpp"
#include "module/py_ref.hpp"
#include "runtime/panic.hpp"

namespace palettra {
namespace {

struct BufferOwnerObject {
  PyObject_HEAD
  std::uint64_t* data;
  std::size_t length;
  std::size_t capacity;
  ReleaseBuffer release;
};
static_assert(sizeof(BufferOwnerObject) == 48);

PyObject* refuse_construction(PyTypeObject*, PyObject*, PyObject*) noexcept {
  return guard_entry([]() -> Result<PyObject*> {
    return fail(PendingError::with_message(PyExc_TypeError, "No constructor defined"));
  });
}

void deallocate(PyObject* object) noexcept {
  guard_deallocation([object] {
    auto* owner = reinterpret_cast<BufferOwnerObject*>(object);
    owner->release(owner->data, owner->length, owner->capacity);
    // Instances of a heap type hold a reference to it, taken by tp_alloc.
    PyTypeObject* type = Py_TYPE(object);
    type->tp_free(object);
    Py_DECREF(type);
  });
}

PyType_Slot buffer_owner_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Utility type to safely store a native buffer on the Python heap")},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(deallocate)},
    {0, nullptr},
};

PyType_Spec buffer_owner_spec = {
    .name = "builtins.BufferOwner",
    .basicsize = sizeof(BufferOwnerObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = buffer_owner_slots,
};

PyTypeObject* cached_type = nullptr;

PyTypeObject* buffer_owner_type() {
  if (cached_type != nullptr) return cached_type;
  PyObject* made = PyType_FromSpec(&buffer_owner_spec);
  if (made == nullptr) {
    PyErr_Print();
    panic("failed to create type object for BufferOwner");
  }
  if (cached_type == nullptr) {
    cached_type = reinterpret_cast<PyTypeObject*>(made);
  } else {
    Py_DECREF(made);
  }
  return cached_type;
}

}  // namespace

Result<PyObject*> new_buffer_owner(std::uint64_t* data, std::size_t length, std::size_t capacity,
                                   ReleaseBuffer release) {
  PyTypeObject* type = buffer_owner_type();
  allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
  PyObject* object = alloc(type, 0);
  if (object == nullptr) {
    release(data, length, capacity);
    return fail(PendingError::fetch_after_failure());
  }
  auto* owner = reinterpret_cast<BufferOwnerObject*>(object);
  owner->data = data;
  owner->length = length;
  owner->capacity = capacity;
  owner->release = release;
  return object;
}

}  // namespace palettra
