#include "numpy_bridge/numpy_api.hpp"

#include <cstring>

#include "module/downcast_error.hpp"
#include "module/pending_error.hpp"
#include "module/py_ref.hpp"

namespace palettra::numpy {
namespace {

// Slots of NumPy's API table.
constexpr int kArrayTypeSlot = 2;
constexpr int kDescrFromTypeSlot = 45;
constexpr int kNewFromDescrSlot = 94;
constexpr int kEquivTypesSlot = 182;
constexpr int kFeatureVersionSlot = 211;
constexpr int kSetBaseObjectSlot = 282;

// From this feature version on (NumPy 2), a descriptor's element size is a
// pointer-sized integer at byte 40; before it, a 32-bit integer at byte 32.
constexpr unsigned kWideElementSizeFeature = 0x12;

struct ApiTable {
  void** slots = nullptr;
  bool wide_element_size = false;
};

ApiTable table;

Result<void**> get_numpy_api(const char* module_name, const char* capsule_name) {
  Ref name = Ref::steal(expect_constructed(PyUnicode_FromString(module_name)));
  Ref module = Ref::steal(PyImport_Import(name.get()));
  if (!module) return fail(PendingError::fetch_after_failure());
  Ref capsule = Ref::steal(PyObject_GetAttrString(module.get(), capsule_name));
  if (!capsule) return fail(PendingError::fetch_after_failure());
  if (!PyCapsule_CheckExact(capsule.get())) return fail(downcast_error(capsule.get(), kPyCapsule));
  const char* own_name = PyCapsule_GetName(capsule.get());
  if (own_name == nullptr) PyErr_Clear();
  void* pointer = PyCapsule_GetPointer(capsule.get(), own_name);
  if (pointer == nullptr) return fail(PendingError::fetch_after_failure());
  // The table lives inside the capsule, which is kept for the process.
  static_cast<void>(capsule.release());
  return static_cast<void**>(pointer);
}

void** api() {
  if (table.slots != nullptr) return table.slots;
  Result<void**> loaded = get_numpy_api("numpy.core.multiarray", "_ARRAY_API");
  if (!loaded) {
    panic_with_error("Failed to access NumPy array API capsule", std::move(loaded.error()));
  }
  // Importing NumPy runs Python code; a table stored meanwhile wins.
  if (table.slots == nullptr) {
    auto feature_version = reinterpret_cast<unsigned (*)()>((*loaded)[kFeatureVersionSlot]);
    table.wide_element_size = feature_version() >= kWideElementSizeFeature;
    table.slots = *loaded;
  }
  return table.slots;
}

template <class Function>
Function slot(int index) {
  return reinterpret_cast<Function>(api()[index]);
}

}  // namespace

PyTypeObject* array_type() { return static_cast<PyTypeObject*>(api()[kArrayTypeSlot]); }

PyObject* descr_from_type(int type_number) {
  return slot<PyObject* (*)(int)>(kDescrFromTypeSlot)(type_number);
}

PyObject* new_from_descr(PyTypeObject* subtype, PyObject* descr, int nd, npy_intp* dimensions,
                         npy_intp* strides, void* data, int flags, PyObject* finalize) {
  using Function = PyObject* (*)(PyTypeObject*, PyObject*, int, npy_intp*, npy_intp*, void*, int,
                                 PyObject*);
  return slot<Function>(kNewFromDescrSlot)(subtype, descr, nd, dimensions, strides, data, flags,
                                           finalize);
}

bool equiv_types(PyObject* first, PyObject* second) {
  return slot<unsigned char (*)(PyObject*, PyObject*)>(kEquivTypesSlot)(first, second) != 0;
}

int set_base_object(PyObject* array, PyObject* base) {
  return slot<int (*)(PyObject*, PyObject*)>(kSetBaseObjectSlot)(array, base);
}

bool is_array(PyObject* object) {
  PyTypeObject* type = array_type();
  return Py_TYPE(object) == type || PyType_IsSubtype(Py_TYPE(object), type) != 0;
}

std::int64_t element_size(PyObject* descr) {
  api();
  const char* bytes = reinterpret_cast<const char*>(descr);
  if (table.wide_element_size) {
    npy_intp size;
    std::memcpy(&size, bytes + 40, sizeof size);
    return size;
  }
  int size;
  std::memcpy(&size, bytes + 32, sizeof size);
  return size;
}

}  // namespace palettra::numpy
