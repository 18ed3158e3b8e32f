// The record other modules find in the _NUMPY_BORROW_CHECKING_API capsule.
#pragma once

#include <Python.h>

#include <cstdint>

namespace palettra {

// A binary interface shared across modules: six 8-byte fields in this order.
struct BorrowCheckingApi {
  std::uint64_t version;
  void* flags;
  int (*acquire)(void* flags, PyObject* array);
  int (*acquire_mut)(void* flags, PyObject* array);
  void (*release)(void* flags, PyObject* array);
  void (*release_mut)(void* flags, PyObject* array);
};
static_assert(sizeof(BorrowCheckingApi) == 48);

// A new record of version 1 over a new, empty registry, and its disposal.
BorrowCheckingApi* new_borrow_checking_api();
void delete_borrow_checking_api(BorrowCheckingApi* api) noexcept;

}  // namespace palettra
