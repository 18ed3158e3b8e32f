#include "mapping/result_buffer.hpp"

#include <cstdlib>
#include <string>
#include <limits>
#include <utility>

#include "runtime/panic.hpp"

namespace palettra {
namespace {

// Never dereferenced: an empty result has no storage, only an aligned address.
std::uint64_t* empty_placeholder() {
  return reinterpret_cast<std::uint64_t*>(alignof(std::uint64_t));
}

}  // namespace

Result<ResultBuffer> ResultBuffer::allocate(std::uint64_t height, std::uint64_t width) {
  std::uint64_t product = 1;
  for (std::uint64_t extent : {height, width, std::uint64_t{3}}) {
    if (extent == 0) continue;
    if (__builtin_mul_overflow(product, extent, &product) ||
        product > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      panic("ndarray: Shape too large, product of non-zero axis lengths overflows Py_ssize_t");
    }
  }
  const std::uint64_t count = height * width * 3;
  const std::array<std::uint64_t, 3> shape{height, width, 3};
  if (count == 0) return ResultBuffer(empty_placeholder(), 0, 0, shape, {0, 0, 0});
  if (count >= (std::uint64_t{1} << 60)) panic("capacity overflow");
  auto* data = static_cast<std::uint64_t*>(std::calloc(count, sizeof(std::uint64_t)));
  if (data == nullptr) {
    return fail(PendingError::with_message(
        PyExc_MemoryError, "cannot allocate " + std::to_string(count * sizeof(std::uint64_t)) +
                               " bytes for the result"));
  }
  const auto row = static_cast<std::int64_t>(3 * width);
  return ResultBuffer(data, count, count, shape, {row, 3, 1});
}

ResultBuffer::ResultBuffer(std::uint64_t* data, std::size_t length, std::size_t capacity,
                           std::array<std::uint64_t, 3> shape,
                           std::array<std::int64_t, 3> strides) noexcept
    : data_(data), length_(length), capacity_(capacity), shape_(shape), strides_(strides) {}

ResultBuffer::ResultBuffer(ResultBuffer&& other) noexcept
    : data_(other.data_),
      length_(other.length_),
      capacity_(std::exchange(other.capacity_, 0)),
      shape_(other.shape_),
      strides_(other.strides_) {}

ResultBuffer::~ResultBuffer() { free_buffer(data_, length_, capacity_); }

std::uint64_t* ResultBuffer::release() noexcept {
  capacity_ = 0;
  return data_;
}

void free_buffer(std::uint64_t* data, std::size_t /*length*/, std::size_t capacity) noexcept {
  if (capacity != 0) std::free(data);
}

}  // namespace palettra
