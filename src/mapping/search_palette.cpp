#include "mapping/search_palette.hpp"

#include <algorithm>
#include <bit>
#include <limits>

#include "mapping/row_scan.hpp"

namespace palettra {
namespace {

struct Colour {
  double values[3];
  bool operator==(const Colour&) const = default;
};

std::uint64_t hash_of(const Colour& colour) noexcept {
  std::uint64_t hash = 0x9e3779b97f4a7c15;
  for (const double value : colour.values) {
    hash = (hash ^ std::bit_cast<std::uint64_t>(value)) * 0xff51afd7ed558ccd;
    hash ^= hash >> 32;
  }
  return hash;
}

constexpr std::uint32_t kFree = std::numeric_limits<std::uint32_t>::max();

// Open addressing at most half full: the slots hold distinct colours' numbers.
std::size_t slots_for(std::uint64_t rows) noexcept { return std::bit_ceil(2 * rows + 2); }

}  // namespace

std::size_t SearchPalette::bytes_for(std::uint64_t rows) noexcept {
  const std::uint64_t padded = (rows + kLanes - 1) / kLanes * kLanes;
  const std::uint64_t narrow = (rows + kNarrowLanes - 1) / kNarrowLanes * kNarrowLanes;
  return padded * 3 * sizeof(double) + narrow * 3 * sizeof(std::uint32_t) +
         rows * (sizeof(std::uint32_t) + 3 * sizeof(std::uint64_t)) +
         slots_for(rows) * sizeof(std::uint32_t);
}

SearchPalette::SearchPalette(const PaletteView& view) {
  const std::size_t rows = static_cast<std::size_t>(view.rows);
  std::vector<std::uint32_t> slots(slots_for(rows), kFree);
  const std::size_t mask = slots.size() - 1;
  for (std::vector<double>& column : columns_) column.reserve(rows + kLanes);
  origins_.reserve(rows);
  stored_.reserve(3 * rows);
  for (std::size_t k = 0; k < rows; ++k) {
    Colour colour;
    std::uint64_t entries[3];
    for (std::size_t c = 0; c < 3; ++c) {
      entries[c] = view.entry(k, c);
      largest_ = std::max(largest_, entries[c]);
      colour.values[c] = static_cast<double>(entries[c]);
    }
    std::size_t slot = hash_of(colour) & mask;
    bool seen = false;
    for (; slots[slot] != kFree; slot = (slot + 1) & mask) {
      const std::uint32_t known = slots[slot];
      if (colour == Colour{{value(known, 0), value(known, 1), value(known, 2)}}) {
        seen = true;
        break;
      }
    }
    if (seen) continue;
    slots[slot] = static_cast<std::uint32_t>(origins_.size());
    origins_.push_back(static_cast<std::uint32_t>(k));
    stored_.insert(stored_.end(), entries, entries + 3);
    for (std::size_t c = 0; c < 3; ++c) columns_[c].push_back(colour.values[c]);
  }
  const std::size_t padded = (origins_.size() + kLanes - 1) / kLanes * kLanes;
  for (std::vector<double>& column : columns_) {
    column.resize(padded, std::numeric_limits<double>::infinity());
  }
  if (largest_ >> kNarrowBits != 0) return;
  const std::size_t narrow = (origins_.size() + kNarrowLanes - 1) / kNarrowLanes * kNarrowLanes;
  for (std::size_t c = 0; c < 3; ++c) {
    narrow_columns_[c].reserve(narrow);
    for (std::size_t k = 0; k < origins_.size(); ++k) {
      narrow_columns_[c].push_back(static_cast<std::uint32_t>(stored_[3 * k + c]));
    }
    narrow_columns_[c].resize(narrow, kNarrowPadding);
  }
}

}  // namespace palettra
