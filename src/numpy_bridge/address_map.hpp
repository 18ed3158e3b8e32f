// A hash map from addresses to values: open addressing with linear probing
// in a power-of-two table kept at most half full, so that a look-up reads a
// slot or two. Erasing moves the slots after it back, so that every key
// stays reachable without tombstones. Unlike the standard library's hash
// maps it needs no floating-point maths, which some C++ runtimes take from
// the maths library.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace palettra {

template <class Value>
class AddressMap {
 public:
  // The value of `address`, or null.
  Value* find(std::uintptr_t address) noexcept {
    if (slots_.empty()) return nullptr;
    for (std::size_t i = home(address);; i = next(i)) {
      Slot& slot = slots_[i];
      if (!slot.value) return nullptr;
      if (slot.address == address) return &*slot.value;
    }
  }

  // The value of `address`, and whether it was made now (empty). Throws
  // std::bad_alloc, leaving the map as it was, when the table cannot grow.
  std::pair<Value*, bool> try_emplace(std::uintptr_t address) {
    if (Value* value = find(address)) return {value, false};
    if (2 * (size_ + 1) > slots_.size()) grow();
    std::size_t i = home(address);
    while (slots_[i].value) i = next(i);
    slots_[i].address = address;
    slots_[i].value.emplace();
    ++size_;
    return {&*slots_[i].value, true};
  }

  void erase(std::uintptr_t address) noexcept {
    if (slots_.empty()) return;
    std::size_t hole = home(address);
    while (slots_[hole].value && slots_[hole].address != address) hole = next(hole);
    if (!slots_[hole].value) return;
    slots_[hole].value.reset();
    --size_;
    // A later slot of the same probe run moves into the hole unless its
    // home lies cyclically after the hole, up to the slot itself.
    for (std::size_t i = next(hole); slots_[i].value; i = next(i)) {
      const std::size_t start = home(slots_[i].address);
      const bool stays = hole < i ? (hole < start && start <= i) : (hole < start || start <= i);
      if (stays) continue;
      slots_[hole] = std::move(slots_[i]);
      slots_[i].value.reset();
      hole = i;
    }
  }

 private:
  static constexpr std::size_t kFirstSize = 8;

  struct Slot {
    std::uintptr_t address = 0;
    std::optional<Value> value;
  };

  std::size_t home(std::uintptr_t address) const noexcept {
    return static_cast<std::size_t>((address * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  std::size_t next(std::size_t i) const noexcept { return (i + 1) & (slots_.size() - 1); }

  void grow() {
    const std::size_t size = slots_.empty() ? kFirstSize : 2 * slots_.size();
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(size));
    shift_ = 64 - static_cast<unsigned>(std::countr_zero(size));
    for (Slot& slot : old) {
      if (!slot.value) continue;
      std::size_t i = home(slot.address);
      while (slots_[i].value) i = next(i);
      slots_[i] = std::move(slot);
    }
  }

  std::vector<Slot> slots_;
  std::size_t size_ = 0;
  // 64 less the table's size in bits: the hash's top bits pick the home.
  unsigned shift_ = 64;
};

}  // namespace palettra
