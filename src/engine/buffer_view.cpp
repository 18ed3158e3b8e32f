#include "engine/buffer_view.hpp"

#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "module/call_binding.hpp"

namespace palettra {
namespace {

PendingError wrong(const char* name, std::string what) {
  return PendingError::with_message(PyExc_TypeError,
                                    std::string("'") + name + "' " + std::move(what));
}

struct IntegerFormat {
  unsigned size;
  bool is_signed;
};

// The struct-module codes of the native integer types, without or with an
// explicit native byte order.
std::optional<IntegerFormat> integer_format(std::string_view format) {
  constexpr char native = std::endian::native == std::endian::little ? '<' : '>';
  if (format.size() == 2 && (format[0] == '@' || format[0] == '=' || format[0] == native)) {
    format.remove_prefix(1);
  }
  if (format.size() != 1) return std::nullopt;
  switch (format[0]) {
    case 'b': return IntegerFormat{1, true};
    case 'B': return IntegerFormat{1, false};
    case 'h': return IntegerFormat{2, true};
    case 'H': return IntegerFormat{2, false};
    case 'i': return IntegerFormat{4, true};
    case 'I': return IntegerFormat{4, false};
    case 'l': case 'q': return IntegerFormat{8, true};
    case 'L': case 'Q': return IntegerFormat{8, false};
    default: return std::nullopt;
  }
}

const char* name_of(const Py_buffer& view) { return view.format != nullptr ? view.format : "B"; }

// The addresses from a view's lowest byte to one past its highest; an empty
// view spans nothing.
struct ByteSpan {
  std::uintptr_t low;
  std::uintptr_t high;
};

ByteSpan span_of(const Py_buffer& view) {
  auto low = reinterpret_cast<std::uintptr_t>(view.buf);
  std::uintptr_t high = low + static_cast<std::uintptr_t>(view.itemsize);
  for (int d = 0; d < view.ndim; ++d) {
    if (view.shape[d] == 0) return {low, low};
    // Without strides the view is C-contiguous and its length says it all.
    if (view.strides == nullptr) return {low, low + static_cast<std::uintptr_t>(view.len)};
    const Py_ssize_t reach = (view.shape[d] - 1) * view.strides[d];
    (reach < 0 ? low : high) += static_cast<std::uintptr_t>(reach);
  }
  return {low, high};
}

}  // namespace

bool BufferView::spans_into(const BufferView& other) const noexcept {
  const ByteSpan mine = span_of(*view_);
  const ByteSpan theirs = span_of(*other.view_);
  return mine.low < mine.high && theirs.low < theirs.high && mine.low < theirs.high &&
         theirs.low < mine.high;
}

Result<BufferView> BufferView::acquire(PyObject* object, int flags, const char* name) {
  BufferView buffer;
  if (PyObject_GetBuffer(object, buffer.view_.get(), flags) != 0) {
    buffer.view_.reset();
    return fail(argument_error(name, PendingError::fetch_after_failure()));
  }
  return buffer;
}

BufferView::~BufferView() {
  if (view_) PyBuffer_Release(view_.get());
}

Result<DirectImage> image_of(const BufferView& buffer) {
  const Py_buffer& view = buffer.get();
  const std::optional<IntegerFormat> format = integer_format(name_of(view));
  if (view.ndim != 3 || view.shape[2] < 3) {
    return fail(wrong("img", "must be an (h, w, c) array with c >= 3"));
  }
  if (!format || format->size != static_cast<unsigned>(view.itemsize)) {
    return fail(wrong("img", "must hold native-order integers"));
  }
  return DirectImage{
      .data = static_cast<const char*>(view.buf),
      .height = static_cast<std::uint64_t>(view.shape[0]),
      .width = static_cast<std::uint64_t>(view.shape[1]),
      .row_stride = view.strides[0],
      .column_stride = view.strides[1],
      .channel_stride = view.strides[2],
      .element_size = format->size,
      .is_signed = format->is_signed,
  };
}

Result<PaletteView> palette_of(const BufferView& buffer) {
  const Py_buffer& view = buffer.get();
  const std::optional<IntegerFormat> format = integer_format(name_of(view));
  if (view.ndim != 2 || !format || format->size != 8 || format->is_signed) {
    return fail(wrong("palette", "must be an (n, m) array of uint64"));
  }
  return PaletteView{
      .origin = static_cast<const char*>(view.buf),
      .rows = static_cast<std::uint64_t>(view.shape[0]),
      .columns = static_cast<std::uint64_t>(view.shape[1]),
      .row_stride = view.strides[0],
      .column_stride = view.strides[1],
  };
}

Result<IndexMap> IndexMap::of(const BufferView& buffer, std::uint64_t height, std::uint64_t width,
                              std::uint64_t rows) {
  const Py_buffer& view = buffer.get();
  const std::optional<IntegerFormat> format = integer_format(name_of(view));
  if (view.ndim != 2 || static_cast<std::uint64_t>(view.shape[0]) != height ||
      static_cast<std::uint64_t>(view.shape[1]) != width) {
    return fail(wrong("out", "must be an (h, w) array of the image's height and width"));
  }
  if (!format || format->is_signed || format->size > 4 || format->size != view.itemsize ||
      rows > (std::uint64_t{1} << (8 * format->size))) {
    return fail(wrong("out", "must hold unsigned integers wide enough for every palette row"));
  }
  return IndexMap(view.buf, format->size);
}

}  // namespace palettra
