// Arrays reached through the buffer protocol, held for the length of a call.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <span>

#include "mapping/direct_image.hpp"
#include "mapping/palette_view.hpp"
#include "module/pending_error.hpp"

namespace palettra {

// An exported buffer and the reference to its exporter that it carries; the
// exporter's memory stays put until the view is released. Must be destroyed
// with the interpreter lock held.
class BufferView {
 public:
  // `name` is the argument's name, for messages.
  static Result<BufferView> acquire(PyObject* object, int flags, const char* name);

  BufferView(BufferView&&) noexcept = default;
  BufferView& operator=(BufferView&&) = delete;
  ~BufferView();

  const Py_buffer& get() const noexcept { return *view_; }

  // Whether the bytes the two views span, from their lowest to their highest
  // element, overlap: a view written to while the other is read must not.
  bool spans_into(const BufferView& other) const noexcept;

 private:
  BufferView() : view_(std::make_unique<Py_buffer>()) {}
  // Exporters may keep the view's address, so it never moves.
  std::unique_ptr<Py_buffer> view_;
};

// A read-only (h, w, c >= 3) array of native-order integers of 1, 2, 4 or 8 bytes.
Result<DirectImage> image_of(const BufferView& buffer);

// A read-only (n, m) array of 8-byte unsigned integers.
Result<PaletteView> palette_of(const BufferView& buffer);

// Where the chosen rows go: a writable, row-major (h, w) array of unsigned
// integers of 1, 2 or 4 bytes, wide enough for every row of the palette.
class IndexMap {
 public:
  static Result<IndexMap> of(const BufferView& buffer, std::uint64_t height, std::uint64_t width,
                             std::uint64_t rows);

  // Rows for the pixels from `first_pixel` on, in row-major order.
  void write(std::uint64_t first_pixel, std::span<const std::uint64_t> rows) const noexcept {
    switch (element_size_) {
      case 1:
        return write_as<std::uint8_t>(first_pixel, rows);
      case 2:
        return write_as<std::uint16_t>(first_pixel, rows);
      default:
        return write_as<std::uint32_t>(first_pixel, rows);
    }
  }

 private:
  IndexMap(void* data, unsigned element_size) noexcept : data_(data), element_size_(element_size) {}
  template <class T>
  void write_as(std::uint64_t first_pixel, std::span<const std::uint64_t> rows) const noexcept {
    T* out = static_cast<T*>(data_) + first_pixel;
    for (const std::uint64_t row : rows) *out++ = static_cast<T>(row);
  }

  void* data_;
  unsigned element_size_;
};

}  // namespace palettra
