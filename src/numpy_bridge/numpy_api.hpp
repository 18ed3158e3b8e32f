// NumPy's C interface, reached at run time through its API table.
#pragma once

#include <Python.h>

#include <cstdint>

namespace palettra::numpy {

using npy_intp = Py_ssize_t;

// The leading fields of NumPy's array object, which are read directly.
struct ArrayObject {
  PyObject_HEAD
  char* data;
  int nd;
  npy_intp* dimensions;
  npy_intp* strides;
  PyObject* base;
  PyObject* descr;
  int flags;
};

inline constexpr int kUlong = 8;  // NPY_ULONG: the unsigned 64-bit machine word
inline constexpr int kArrayWriteable = 0x400;

inline ArrayObject* as_array(PyObject* object) { return reinterpret_cast<ArrayObject*>(object); }

// Each call-through loads the table on first need; a failed load panics with
// "Failed to access NumPy array API capsule" and is retried on the next call.
PyTypeObject* array_type();
PyObject* descr_from_type(int type_number);
PyObject* new_from_descr(PyTypeObject* subtype, PyObject* descr, int nd, npy_intp* dimensions,
                         npy_intp* strides, void* data, int flags, PyObject* finalize);
bool equiv_types(PyObject* first, PyObject* second);
int set_base_object(PyObject* array, PyObject* base);

// True for NumPy arrays and instances of their subclasses.
bool is_array(PyObject* object);

// The element size recorded in a descriptor, in bytes.
std::int64_t element_size(PyObject* descr);

}  // namespace palettra::numpy
