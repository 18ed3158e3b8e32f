#include "mapping/array_views.hpp"

#include <bit>
#include <cstring>

#include "numpy_bridge/numpy_api.hpp"

namespace palettra {
namespace {

// Descriptor fields that sit at the same offsets in NumPy 1.x and 2.x.
constexpr std::size_t kKindOffset = 24;
constexpr std::size_t kByteOrderOffset = 26;
constexpr std::size_t kTypeNumberOffset = 28;

// NPY_BYTE to NPY_ULONGLONG: the built-in integer types, booleans excluded.
constexpr int kFirstIntegerType = 1;
constexpr int kLastIntegerType = 10;

const char* field(PyObject* descr, std::size_t offset) {
  return reinterpret_cast<const char*>(descr) + offset;
}

bool is_native_order(char byte_order) {
  constexpr char native = std::endian::native == std::endian::little ? '<' : '>';
  return byte_order == '=' || byte_order == '|' || byte_order == native;
}

}  // namespace

PaletteView palette_view_of(PyObject* array_object) {
  const numpy::ArrayObject* array = numpy::as_array(array_object);
  return PaletteView{
      .origin = array->data,
      .rows = static_cast<std::uint64_t>(array->dimensions[0]),
      .columns = static_cast<std::uint64_t>(array->dimensions[1]),
      .row_stride = array->strides[0],
      .column_stride = array->strides[1],
  };
}

std::optional<DirectImage> direct_image_of(PyObject* img, std::uint64_t height,
                                           std::uint64_t width) {
  if (Py_TYPE(img) != numpy::array_type()) return std::nullopt;
  const numpy::ArrayObject* array = numpy::as_array(img);
  if (array->nd != 3) return std::nullopt;
  if (static_cast<std::uint64_t>(array->dimensions[0]) != height ||
      static_cast<std::uint64_t>(array->dimensions[1]) != width || array->dimensions[2] < 3) {
    return std::nullopt;
  }
  PyObject* descr = array->descr;
  const char kind = *field(descr, kKindOffset);
  int type_number;
  std::memcpy(&type_number, field(descr, kTypeNumberOffset), sizeof type_number);
  const std::int64_t size = numpy::element_size(descr);
  if ((kind != 'i' && kind != 'u') || type_number < kFirstIntegerType ||
      type_number > kLastIntegerType || !is_native_order(*field(descr, kByteOrderOffset)) ||
      (size != 1 && size != 2 && size != 4 && size != 8)) {
    return std::nullopt;
  }
  return DirectImage{
      .data = array->data,
      .height = height,
      .width = width,
      .row_stride = array->strides[0],
      .column_stride = array->strides[1],
      .channel_stride = array->strides[2],
      .element_size = static_cast<unsigned>(size),
      .is_signed = kind == 'i',
  };
}

}  // namespace palettra
