#include "numpy_bridge/result_buffer.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <utility>

#include "runtime/panic.hpp"

namespace palettra {
namespace {

// Never dereferenced: an empty result has no storage, only an aligned address.
std::uint64_t* empty_placeholder() {
  return reinterpret_cast<std::uint64_t*>(alignof(std::uint64_t));
}

// Large results come straight from the kernel, which hands out mappings
// zero-filled, and their whole huge pages are asked to be backed by huge
// pages: filling one then costs a few hundred page faults instead of tens
// of thousands. The tail beyond the last whole huge page stays in small
// pages, so that no result holds more than a page of memory it does not use.
constexpr std::size_t kHugePage = std::size_t{1} << 21;
constexpr std::size_t kPage = std::size_t{1} << 12;

bool is_mapped(std::size_t capacity) { return capacity * sizeof(std::uint64_t) >= kHugePage; }

std::size_t mapped_bytes(std::size_t capacity) {
  return (capacity * sizeof(std::uint64_t) + kPage - 1) / kPage * kPage;
}

std::uint64_t* allocate_zeroed(std::size_t count) {
  if (!is_mapped(count)) return static_cast<std::uint64_t*>(std::calloc(count, sizeof(std::uint64_t)));
  const std::size_t bytes = mapped_bytes(count);
  // Room to move the start to a huge-page boundary; the rest is unmapped.
  const std::size_t reserved = bytes + kHugePage - kPage;
  void* mapping = mmap(nullptr, reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(mapping);
  const std::uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
  if (aligned != start) munmap(mapping, aligned - start);
  const std::uintptr_t end = aligned + bytes;
  if (end != start + reserved) munmap(reinterpret_cast<void*>(end), start + reserved - end);
#ifdef MADV_HUGEPAGE
  // Only advice: without huge pages the mapping works all the same.
  madvise(reinterpret_cast<void*>(aligned), bytes / kHugePage * kHugePage, MADV_HUGEPAGE);
#endif
  return reinterpret_cast<std::uint64_t*>(aligned);
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
  std::uint64_t* data = allocate_zeroed(count);
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
  if (capacity == 0) return;
  if (is_mapped(capacity)) {
    munmap(data, mapped_bytes(capacity));
  } else {
    std::free(data);
  }
}

}  // namespace palettra
