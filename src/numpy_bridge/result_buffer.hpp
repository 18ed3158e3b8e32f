// The zero-filled, row-major (h, w, 3) store that the mapping writes into.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "module/pending_error.hpp"

namespace palettra {

class ResultBuffer {
 public:
  // Panics when the shape is too large; a MemoryError when the allocator
  // refuses. An empty result owns no storage.
  static Result<ResultBuffer> allocate(std::uint64_t height, std::uint64_t width);

  ResultBuffer(ResultBuffer&& other) noexcept;
  ResultBuffer& operator=(ResultBuffer&&) = delete;
  ~ResultBuffer();

  std::uint64_t* data() const noexcept { return data_; }
  std::size_t length() const noexcept { return length_; }
  std::size_t capacity() const noexcept { return capacity_; }
  const std::array<std::uint64_t, 3>& shape() const noexcept { return shape_; }
  // In elements.
  const std::array<std::int64_t, 3>& strides() const noexcept { return strides_; }

  // Hands the storage over; the buffer no longer frees it. The capacity read
  // before this call is what the new owner must free.
  std::uint64_t* release() noexcept;

 private:
  ResultBuffer(std::uint64_t* data, std::size_t length, std::size_t capacity,
               std::array<std::uint64_t, 3> shape, std::array<std::int64_t, 3> strides) noexcept;
  std::uint64_t* data_;
  std::size_t length_;
  std::size_t capacity_;
  std::array<std::uint64_t, 3> shape_;
  std::array<std::int64_t, 3> strides_;
};

// Frees storage handed out by ResultBuffer::release().
void free_buffer(std::uint64_t* data, std::size_t length, std::size_t capacity) noexcept;

}  // namespace palettra
