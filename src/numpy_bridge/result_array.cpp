#include "numpy_bridge/result_array.hpp"

#include "module/py_ref.hpp"
#include "numpy_bridge/buffer_owner.hpp"
#include "numpy_bridge/numpy_api.hpp"

namespace palettra {

PyObject* from_owned_buffer(ResultBuffer buffer) {
  numpy::npy_intp dimensions[3];
  numpy::npy_intp strides[3];
  for (int axis = 0; axis < 3; ++axis) {
    dimensions[axis] = static_cast<numpy::npy_intp>(buffer.shape()[axis]);
    strides[axis] = static_cast<numpy::npy_intp>(buffer.strides()[axis] * 8);
  }
  const std::size_t length = buffer.length();
  const std::size_t capacity = buffer.capacity();
  std::uint64_t* data = buffer.release();
  Result<PyObject*> owner = new_buffer_owner(data, length, capacity, free_buffer);
  if (!owner) panic_with_error("Failed to create slice container", std::move(owner.error()));
  // Released if NumPy cannot make the array, which frees the buffer.
  Ref container = Ref::steal(*owner);

  PyTypeObject* array_type = numpy::array_type();
  PyObject* descr = numpy::descr_from_type(numpy::kUlong);
  Ref array = Ref::steal(numpy::new_from_descr(array_type, descr, 3, dimensions, strides, data,
                                               numpy::kArrayWriteable, nullptr));
  if (!array) constructor_failed();
  numpy::set_base_object(array.get(), container.release());
  return array.release();
}

}  // namespace palettra
