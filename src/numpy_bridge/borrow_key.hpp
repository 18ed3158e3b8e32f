// What a borrow covers: the byte range of an array and the lattice of
// addresses its strides can reach inside it.
#pragma once

#include <Python.h>

#include <cstdint>

namespace palettra {

struct BorrowKey {
  std::uintptr_t range_start;
  std::uintptr_t range_end;  // one past the last byte; equal to start when empty
  std::uintptr_t data;
  std::int64_t stride_gcd;

  bool operator==(const BorrowKey&) const = default;

  // Whether two views of one base may touch the same element.
  bool conflicts(const BorrowKey& other) const noexcept;
};

BorrowKey borrow_key(PyObject* array);

// The greatest common divisor of two strides, as a magnitude.
std::uint64_t binary_gcd(std::int64_t a, std::int64_t b) noexcept;

// The address of the object that owns the array's memory.
std::uintptr_t base_address(PyObject* array);

}  // namespace palettra
