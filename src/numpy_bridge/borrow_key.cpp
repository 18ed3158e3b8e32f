#include "numpy_bridge/borrow_key.hpp"

#include <bit>
#include <limits>

#include "numpy_bridge/numpy_api.hpp"

namespace palettra {
namespace {

std::uint64_t magnitude(std::int64_t value) noexcept {
  const auto bits = static_cast<std::uint64_t>(value);
  return value < 0 ? 0 - bits : bits;
}

}  // namespace

std::uint64_t binary_gcd(std::int64_t a, std::int64_t b) noexcept {
  if (a == 0 || b == 0) return magnitude(a | b);
  const int shift = std::countr_zero(static_cast<std::uint64_t>(a | b));
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  if (a == kMin || b == kMin) return std::uint64_t{1} << shift;
  std::uint64_t x = magnitude(a);
  std::uint64_t y = magnitude(b);
  x >>= std::countr_zero(x);
  y >>= std::countr_zero(y);
  while (x != y) {
    if (x > y) {
      x -= y;
      x >>= std::countr_zero(x);
    } else {
      y -= x;
      y >>= std::countr_zero(y);
    }
  }
  return x << shift;
}

bool BorrowKey::conflicts(const BorrowKey& other) const noexcept {
  if (other.range_start >= range_end || range_start >= other.range_end) return false;
  const std::uint64_t gcd = binary_gcd(stride_gcd, other.stride_gcd);
  // Only all-zero strides give no divisor: such views repeat one element, so
  // overlapping ranges are taken to overlap in fact.
  if (gcd == 0) return true;
  const std::uint64_t distance = magnitude(static_cast<std::int64_t>(data - other.data));
  return distance % gcd == 0;
}

BorrowKey borrow_key(PyObject* array_object) {
  const numpy::ArrayObject* array = numpy::as_array(array_object);
  const auto data = reinterpret_cast<std::uintptr_t>(array->data);
  if (array->nd == 0) return BorrowKey{data, data, data, 1};

  std::uintptr_t start = data;
  std::uintptr_t end = data;
  bool empty = false;
  for (int axis = 0; axis < array->nd; ++axis) empty = empty || array->dimensions[axis] == 0;
  if (!empty) {
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    for (int axis = 0; axis < array->nd; ++axis) {
      const std::uint64_t offset = static_cast<std::uint64_t>(array->dimensions[axis] - 1) *
                                   static_cast<std::uint64_t>(array->strides[axis]);
      if (static_cast<std::int64_t>(offset) < 0) {
        low += offset;
      } else {
        high += offset;
      }
    }
    start = data + low;
    end = data + high + static_cast<std::uint64_t>(numpy::element_size(array->descr));
  }

  std::int64_t gcd = array->strides[0];
  for (int axis = 1; axis < array->nd; ++axis) {
    gcd = static_cast<std::int64_t>(binary_gcd(gcd, array->strides[axis]));
  }
  return BorrowKey{start, end, data, gcd};
}

std::uintptr_t base_address(PyObject* array) {
  PyObject* current = array;
  while (true) {
    PyObject* base = numpy::as_array(current)->base;
    if (base == nullptr) return reinterpret_cast<std::uintptr_t>(current);
    if (!numpy::is_array(base)) return reinterpret_cast<std::uintptr_t>(base);
    current = base;
  }
}

}  // namespace palettra
