#include "mapping/direct_mapping.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <type_traits>

#include "mapping/compact_palette.hpp"
#include "mapping/full_search.hpp"
#include "mapping/grid_search.hpp"

namespace palettra {
namespace {

template <class T>
std::uint64_t load(const char* address) {
  T value;
  std::memcpy(&value, address, sizeof value);
  return static_cast<std::uint64_t>(value);
}

struct ValueRange {
  bool has_negative;
  std::uint64_t largest;
};

template <class T>
ValueRange value_range(const DirectImage& image) {
  // Not worth a pass over the image: the type's own bound is tight enough.
  if constexpr (std::is_same_v<T, std::uint8_t>) return {false, 0xff};
  ValueRange range{false, 0};
  for (std::uint64_t i = 0; i < image.height; ++i) {
    const char* pixel = image.data + static_cast<std::int64_t>(i) * image.row_stride;
    for (std::uint64_t j = 0; j < image.width; ++j, pixel += image.column_stride) {
      for (std::int64_t c = 0; c < 3; ++c) {
        T value;
        std::memcpy(&value, pixel + c * image.channel_stride, sizeof value);
        if constexpr (std::is_signed_v<T>) {
          if (value < 0) return {true, 0};
        }
        range.largest = std::max(range.largest, static_cast<std::uint64_t>(value));
      }
    }
  }
  return range;
}

template <class T>
void map_pixels(const DirectImage& image, const CompactPalette& palette, FullSearch& search,
                std::uint64_t* out) {
  const std::int64_t channel = image.channel_stride;
  for (std::uint64_t i = 0; i < image.height; ++i) {
    const char* pixel = image.data + static_cast<std::int64_t>(i) * image.row_stride;
    for (std::uint64_t j = 0; j < image.width; ++j, pixel += image.column_stride, out += 3) {
      const std::uint64_t* colour = palette.stored(search.nearest(
          load<T>(pixel), load<T>(pixel + channel), load<T>(pixel + 2 * channel)));
      out[0] = colour[0];
      out[1] = colour[1];
      out[2] = colour[2];
    }
  }
}

// Pixels go in runs: first every pixel's cell entry, without a branch that
// depends on the image, then the few pixels whose cell has several
// candidate rows, then the colours.
template <class T>
void map_pixels(const DirectImage& image, const CompactPalette& palette, GridSearch& search,
                std::uint64_t* out) {
  constexpr std::uint64_t kRun = 256;
  std::uint32_t entries[kRun];
  std::uint32_t unsettled[kRun];
  const std::int64_t column = image.column_stride;
  const std::int64_t channel = image.channel_stride;
  bool has_last = false;
  std::uint64_t last[3] = {};
  std::uint32_t last_entry = 0;
  for (std::uint64_t i = 0; i < image.height; ++i) {
    const char* row = image.data + static_cast<std::int64_t>(i) * image.row_stride;
    for (std::uint64_t start = 0; start < image.width; start += kRun) {
      const std::uint64_t count = std::min(kRun, image.width - start);
      const char* first = row + static_cast<std::int64_t>(start) * column;
      std::uint64_t waiting = 0;
      for (std::uint64_t j = 0; j < count; ++j) {
        const char* pixel = first + static_cast<std::int64_t>(j) * column;
        const std::uint32_t entry = search.cell_entry(load<T>(pixel), load<T>(pixel + channel),
                                                      load<T>(pixel + 2 * channel));
        entries[j] = entry;
        unsettled[waiting] = static_cast<std::uint32_t>(j);
        waiting += GridSearch::settles(entry) ? 0 : 1;
      }
      for (std::uint64_t w = 0; w < waiting; ++w) {
        const std::uint32_t j = unsettled[w];
        const char* pixel = first + static_cast<std::int64_t>(j) * column;
        const std::uint64_t s0 = load<T>(pixel);
        const std::uint64_t s1 = load<T>(pixel + channel);
        const std::uint64_t s2 = load<T>(pixel + 2 * channel);
        // Flat areas repeat the colour just resolved.
        if (s0 != last[0] || s1 != last[1] || s2 != last[2] || !has_last) {
          last_entry = search.resolve(entries[j], s0, s1, s2);
          last[0] = s0;
          last[1] = s1;
          last[2] = s2;
          has_last = true;
        }
        entries[j] = last_entry;
      }
      for (std::uint64_t j = 0; j < count; ++j, out += 3) {
        const std::uint64_t* colour = palette.stored(GridSearch::settled_row(entries[j]));
        out[0] = colour[0];
        out[1] = colour[1];
        out[2] = colour[2];
      }
    }
  }
}

template <class T>
bool map_typed(const DirectImage& image, const PaletteView& view, std::uint64_t* out) {
  const ValueRange range = value_range<T>(image);
  if (range.has_negative) return false;
  // The result is zero-filled, which is what an empty palette gives.
  if (view.rows == 0) return true;
  const CompactPalette palette(view);
  constexpr std::uint64_t kExactLimit = std::uint64_t{1} << GridSearch::kExactBits;
  if (range.largest < kExactLimit && palette.largest() < kExactLimit &&
      palette.rows() < GridSearch::kMostRows) {
    GridSearch search(palette, static_cast<unsigned>(std::bit_width(range.largest)));
    map_pixels<T>(image, palette, search, out);
  } else {
    FullSearch search(palette);
    map_pixels<T>(image, palette, search, out);
  }
  return true;
}

}  // namespace

bool map_direct(const DirectImage& image, const PaletteView& palette, std::uint64_t* out) {
  if (image.height == 0 || image.width == 0) return true;
  // Item access panics after the first pixel's reads, or reports that
  // pixel's conversion error first: let it.
  if (palette.rows != 0 && palette.columns < 3) return false;
  switch (image.element_size) {
    case 1:
      return image.is_signed ? map_typed<std::int8_t>(image, palette, out)
                             : map_typed<std::uint8_t>(image, palette, out);
    case 2:
      return image.is_signed ? map_typed<std::int16_t>(image, palette, out)
                             : map_typed<std::uint16_t>(image, palette, out);
    case 4:
      return image.is_signed ? map_typed<std::int32_t>(image, palette, out)
                             : map_typed<std::uint32_t>(image, palette, out);
    default:
      return image.is_signed ? map_typed<std::int64_t>(image, palette, out)
                             : map_typed<std::uint64_t>(image, palette, out);
  }
}

}  // namespace palettra
