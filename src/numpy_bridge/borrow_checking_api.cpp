#include "numpy_bridge/borrow_checking_api.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <utility>
#include <vector>

#include "numpy_bridge/address_map.hpp"
#include "numpy_bridge/borrow_key.hpp"
#include "numpy_bridge/numpy_api.hpp"

namespace palettra {
namespace {

constexpr std::int64_t kWriter = -1;

struct Borrow {
  BorrowKey key;
  std::int64_t count;  // n > 0: n readers of exactly this key; -1: one writer
};

// Views of one base are few, usually one, so a short vector scanned in full
// beats a hash map here; the conflict test must scan them all anyway.
using BorrowsOfBase = std::vector<Borrow>;

using BorrowRegistry = AddressMap<BorrowsOfBase>;

BorrowRegistry& registry_of(void* flags) { return *static_cast<BorrowRegistry*>(flags); }

Borrow* find(BorrowsOfBase& borrows, const BorrowKey& key) {
  auto at = std::ranges::find(borrows, key, &Borrow::key);
  return at == borrows.end() ? nullptr : &*at;
}

// A release that names nothing registered (its array was reshaped while
// borrowed) is ignored rather than trusted.
void forget(BorrowRegistry& registry, std::uintptr_t base, BorrowsOfBase& borrows, const BorrowKey& key) {
  std::erase_if(borrows, [&](const Borrow& borrow) { return borrow.key == key; });
  if (borrows.empty()) registry.erase(base);
}

// A borrow that there is no memory to record is refused, with MemoryError
// set as a failing interpreter call leaves it.
template <class Register>
int refused_without_memory(Register&& register_borrow) noexcept {
  try {
    return std::forward<Register>(register_borrow)();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return -1;
  }
}

int register_read(void* flags, PyObject* array) {
  BorrowRegistry& registry = registry_of(flags);
  const std::uintptr_t base = base_address(array);
  const BorrowKey key = borrow_key(array);
  auto [entry, created] = registry.try_emplace(base);
  BorrowsOfBase& borrows = *entry;
  if (created) {
    borrows.push_back({key, 1});
    return 0;
  }
  if (Borrow* same = find(borrows, key)) {
    if (same->count < 0 || same->count == std::numeric_limits<std::int64_t>::max()) return -1;
    ++same->count;
    return 0;
  }
  for (const Borrow& other : borrows) {
    if (other.count < 0 && key.conflicts(other.key)) return -1;
  }
  borrows.push_back({key, 1});
  return 0;
}

int register_write(void* flags, PyObject* array) {
  if ((numpy::as_array(array)->flags & numpy::kArrayWriteable) == 0) return -2;
  BorrowRegistry& registry = registry_of(flags);
  const std::uintptr_t base = base_address(array);
  const BorrowKey key = borrow_key(array);
  auto [entry, created] = registry.try_emplace(base);
  BorrowsOfBase& borrows = *entry;
  if (created) {
    borrows.push_back({key, kWriter});
    return 0;
  }
  if (find(borrows, key) != nullptr) return -1;
  for (const Borrow& other : borrows) {
    if (other.count != 0 && key.conflicts(other.key)) return -1;
  }
  borrows.push_back({key, kWriter});
  return 0;
}

int acquire_shared(void* flags, PyObject* array) noexcept {
  return refused_without_memory([&] { return register_read(flags, array); });
}

int acquire_mut_shared(void* flags, PyObject* array) noexcept {
  return refused_without_memory([&] { return register_write(flags, array); });
}

void release_shared(void* flags, PyObject* array) noexcept {
  BorrowRegistry& registry = registry_of(flags);
  const std::uintptr_t base = base_address(array);
  BorrowsOfBase* borrows = registry.find(base);
  if (borrows == nullptr) return;
  const BorrowKey key = borrow_key(array);
  Borrow* borrow = find(*borrows, key);
  if (borrow == nullptr || borrow->count < 0) return;
  if (--borrow->count > 0) return;
  forget(registry, base, *borrows, key);
}

void release_mut_shared(void* flags, PyObject* array) noexcept {
  BorrowRegistry& registry = registry_of(flags);
  const std::uintptr_t base = base_address(array);
  BorrowsOfBase* borrows = registry.find(base);
  if (borrows == nullptr) return;
  const BorrowKey key = borrow_key(array);
  Borrow* borrow = find(*borrows, key);
  if (borrow == nullptr || borrow->count >= 0) return;
  forget(registry, base, *borrows, key);
}

}  // namespace

BorrowCheckingApi* new_borrow_checking_api() {
  return new BorrowCheckingApi{
      .version = 1,
      .flags = new BorrowRegistry(),
      .acquire = acquire_shared,
      .acquire_mut = acquire_mut_shared,
      .release = release_shared,
      .release_mut = release_mut_shared,
  };
}

void delete_borrow_checking_api(BorrowCheckingApi* api) noexcept {
  delete static_cast<BorrowRegistry*>(api->flags);
  delete api;
}

}  // namespace palettra
