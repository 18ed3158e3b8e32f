#include "numpy_bridge/borrow_registry.hpp"

#include <new>
#include <string>

#include "module/downcast_error.hpp"
#include "module/pending_error.hpp"
#include "module/py_ref.hpp"
#include "numpy_bridge/borrow_checking_api.hpp"
#include "runtime/panic.hpp"

namespace palettra {
namespace {

constexpr const char kCapsuleName[] = "_NUMPY_BORROW_CHECKING_API";

BorrowCheckingApi* registry_api = nullptr;

void destroy_capsule(PyObject* capsule) {
  delete_borrow_checking_api(
      static_cast<BorrowCheckingApi*>(PyCapsule_GetPointer(capsule, kCapsuleName)));
}

Status publish_registry(PyObject* module) {
  BorrowCheckingApi* api = new_borrow_checking_api();
  Ref capsule = Ref::steal(PyCapsule_New(api, kCapsuleName, destroy_capsule));
  if (!capsule) {
    delete_borrow_checking_api(api);
    return fail(PendingError::fetch_after_failure());
  }
  if (PyObject_SetAttrString(module, kCapsuleName, capsule.get()) != 0) {
    return fail(PendingError::fetch_after_failure());
  }
  return {};
}

Result<BorrowCheckingApi*> find_or_publish_registry() {
  Ref name = Ref::steal(expect_constructed(PyUnicode_FromString("numpy.core.multiarray")));
  Ref module = Ref::steal(PyImport_Import(name.get()));
  if (!module) return fail(PendingError::fetch_after_failure());
  Ref capsule = Ref::steal(PyObject_GetAttrString(module.get(), kCapsuleName));
  if (!capsule) {
    PyErr_Clear();
    if (Status published = publish_registry(module.get()); !published) {
      return fail(std::move(published.error()));
    }
    capsule = Ref::steal(PyObject_GetAttrString(module.get(), kCapsuleName));
    if (!capsule) return fail(PendingError::fetch_after_failure());
  }
  if (!PyCapsule_CheckExact(capsule.get())) return fail(downcast_error(capsule.get(), kPyCapsule));
  const char* own_name = PyCapsule_GetName(capsule.get());
  if (own_name == nullptr) PyErr_Clear();
  auto* api = static_cast<BorrowCheckingApi*>(PyCapsule_GetPointer(capsule.get(), own_name));
  if (api == nullptr) return fail(PendingError::fetch_after_failure());
  if (api->version < 1) {
    return fail(PendingError::with_message(
        PyExc_TypeError, "Version " + std::to_string(api->version) +
                             " of borrow checking API is not supported by this version of palettra"));
  }
  // The record lives as long as its capsule, which is kept for the process.
  static_cast<void>(capsule.release());
  return api;
}

BorrowCheckingApi& api() {
  if (registry_api != nullptr) return *registry_api;
  Result<BorrowCheckingApi*> found = find_or_publish_registry();
  if (!found) panic_with_error("Interal borrow checking API error", std::move(found.error()));
  // Finding the record runs Python code; one stored meanwhile wins.
  if (registry_api == nullptr) registry_api = *found;
  return *registry_api;
}

}  // namespace

const char* debug_text(BorrowError error) {
  return error == BorrowError::AlreadyBorrowed ? "AlreadyBorrowed" : "NotWriteable";
}

std::expected<void, BorrowError> acquire(PyObject* array) {
  BorrowCheckingApi& registry = api();
  const int code = registry.acquire(registry.flags, array);
  if (code == 0) return {};
  if (code == -1) {
    // A registry with no memory to record the borrow refuses it that way.
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
      PyErr_Clear();
      throw std::bad_alloc();
    }
    return std::unexpected(BorrowError::AlreadyBorrowed);
  }
  panic("Unexpected return code " + std::to_string(code) + " from borrow checking API");
}

void release(PyObject* array) {
  BorrowCheckingApi& registry = api();
  registry.release(registry.flags, array);
}

}  // namespace palettra
