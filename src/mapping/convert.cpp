#include "mapping/convert.hpp"

#include <array>
#include <optional>

#include "mapping/array_views.hpp"
#include "mapping/direct_mapping.hpp"
#include "mapping/nearest_colour.hpp"
#include "numpy_bridge/result_buffer.hpp"
#include "module/call_binding.hpp"
#include "module/conversions.hpp"
#include "module/py_ref.hpp"
#include "numpy_bridge/readonly_array.hpp"
#include "numpy_bridge/result_array.hpp"

namespace palettra {
namespace {

Result<Ref> get_shape(PyObject* img) {
  Ref name = Ref::steal(expect_constructed(PyUnicode_FromStringAndSize("shape", 5)));
  Ref shape = Ref::steal(PyObject_GetAttr(img, name.get()));
  if (!shape) return fail(PendingError::fetch_after_failure());
  return shape;
}

Result<Triple> read_shape(PyObject* img) {
  Result<Ref> shape = get_shape(img);
  if (!shape) return fail(std::move(shape.error()));
  return extract_triple(shape->get());
}

Ref item_key(std::uint64_t row, std::uint64_t column, long channel) {
  Ref i = Ref::steal(expect_constructed(PyLong_FromUnsignedLongLong(row)));
  Ref j = Ref::steal(expect_constructed(PyLong_FromUnsignedLongLong(column)));
  Ref k = Ref::steal(expect_constructed(PyLong_FromLong(channel)));
  Ref key = Ref::steal(expect_constructed(PyTuple_New(3)));
  PyTuple_SET_ITEM(key.get(), 0, i.release());
  PyTuple_SET_ITEM(key.get(), 1, j.release());
  PyTuple_SET_ITEM(key.get(), 2, k.release());
  return key;
}

// The three channel items of a pixel, kept until the pixel is finished.
// Members are destroyed in reverse order, so channel 2 is released first.
struct PixelItems {
  std::array<Ref, 3> channels;
};

Result<std::uint64_t> read_channel(PyObject* img, std::uint64_t row, std::uint64_t column,
                                   long channel, Ref& item) {
  {
    Ref key = item_key(row, column, channel);
    item = Ref::steal(PyObject_GetItem(img, key.get()));
  }
  if (!item) return fail(PendingError::fetch_after_failure());
  return extract_u64(item.get());
}

Result<Triple> read_pixel(PyObject* img, std::uint64_t row, std::uint64_t column,
                          PixelItems& items) {
  Triple pixel{};
  for (std::size_t channel = 0; channel < 3; ++channel) {
    Result<std::uint64_t> value =
        read_channel(img, row, column, static_cast<long>(channel), items.channels[channel]);
    if (!value) return fail(std::move(value.error()));
    pixel[channel] = *value;
  }
  return pixel;
}

Result<PyObject*> map_pixels(PyObject* img, const ReadonlyArray& palette) {
  const PaletteView view = palette_view_of(palette.get());
  Result<Triple> shape = read_shape(img);
  if (!shape) return fail(std::move(shape.error()));
  const auto [height, width, unused_channels] = *shape;
  Result<ResultBuffer> buffer = ResultBuffer::allocate(height, width);
  if (!buffer) return fail(std::move(buffer.error()));
  std::uint64_t* out = buffer->data();
  if (const std::optional<DirectImage> direct = direct_image_of(img, height, width);
      direct && map_direct(*direct, view, out)) {
    return from_owned_buffer(std::move(*buffer));
  }
  for (std::uint64_t i = 0; i < height && width != 0; ++i) {
    for (std::uint64_t j = 0; j < width; ++j) {
      PixelItems items;
      Result<Triple> pixel = read_pixel(img, i, j, items);
      if (!pixel) return fail(std::move(pixel.error()));
      const Triple colour = nearest_colour(view, *pixel);
      out[0] = colour[0];
      out[1] = colour[1];
      out[2] = colour[2];
      out += 3;
    }
  }
  return from_owned_buffer(std::move(*buffer));
}

}  // namespace

Result<PyObject*> convert_image(PyObject* img_argument, PyObject* color_palette) {
  Ref img = Ref::borrow(img_argument);
  Result<ReadonlyArray> palette = ReadonlyArray::from_object(color_palette);
  if (!palette) return fail(argument_error("color_palette", std::move(palette.error())));
  return map_pixels(img.get(), *palette);
}

}  // namespace palettra
