#include "mapping/palette_view.hpp"

#include "numpy_bridge/numpy_api.hpp"

namespace palettra {

PaletteView PaletteView::of(PyObject* array_object) {
  const numpy::ArrayObject* array = numpy::as_array(array_object);
  return PaletteView{
      .origin = array->data,
      .rows = static_cast<std::uint64_t>(array->dimensions[0]),
      .columns = static_cast<std::uint64_t>(array->dimensions[1]),
      .row_stride = array->strides[0],
      .column_stride = array->strides[1],
  };
}

}  // namespace palettra
