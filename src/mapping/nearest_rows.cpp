#include "mapping/nearest_rows.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>
#include <type_traits>

#include "mapping/compact_palette.hpp"
#include "mapping/full_search.hpp"
#include "mapping/grid_search.hpp"

namespace palettra {

class NearestRows::Search {
 public:
  Search(const PaletteView& view, std::uint64_t largest_value) : palette_(view) {
    constexpr std::uint64_t kExactLimit = std::uint64_t{1} << GridSearch::kExactBits;
    if (largest_value < kExactLimit && palette_.largest() < kExactLimit &&
        palette_.rows() < GridSearch::kMostRows) {
      grid_.emplace(palette_, static_cast<unsigned>(std::bit_width(largest_value)));
    } else {
      full_.emplace(palette_);
    }
  }

  std::uint64_t nearest(std::uint64_t s0, std::uint64_t s1, std::uint64_t s2) {
    if (full_) return full_->nearest(s0, s1, s2);
    std::uint32_t entry = grid_->cell_entry(s0, s1, s2);
    if (!GridSearch::settles(entry)) entry = grid_->resolve(entry, s0, s1, s2);
    return GridSearch::settled_row(entry);
  }

  template <class T>
  void map_image(const DirectImage& image, RowSink& sink);

 private:
  template <class T>
  void map_with_grid(const DirectImage& image, RowSink& sink);
  template <class T>
  void map_with_full(const DirectImage& image, RowSink& sink);

  CompactPalette palette_;
  std::optional<GridSearch> grid_;
  std::optional<FullSearch> full_;
};

NearestRows::NearestRows(const PaletteView& palette, std::uint64_t largest_value,
                         std::uint64_t /*expected_pixels*/)
    : search_(std::make_unique<Search>(palette, largest_value)) {}
NearestRows::NearestRows(NearestRows&&) noexcept = default;
NearestRows& NearestRows::operator=(NearestRows&&) noexcept = default;
NearestRows::~NearestRows() = default;

std::uint64_t NearestRows::nearest(std::uint64_t s0, std::uint64_t s1, std::uint64_t s2) {
  return search_->nearest(s0, s1, s2);
}

namespace {

constexpr std::uint64_t kRun = 256;

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

}  // namespace

template <class T>
void NearestRows::Search::map_image(const DirectImage& image, RowSink& sink) {
  if (full_) {
    map_with_full<T>(image, sink);
  } else {
    map_with_grid<T>(image, sink);
  }
}

template <class T>
void NearestRows::Search::map_with_full(const DirectImage& image, RowSink& sink) {
  std::uint64_t rows[kRun];
  const std::int64_t channel = image.channel_stride;
  std::uint64_t first_pixel = 0;
  for (std::uint64_t i = 0; i < image.height; ++i) {
    const char* row = image.data + static_cast<std::int64_t>(i) * image.row_stride;
    for (std::uint64_t start = 0; start < image.width; start += kRun) {
      const std::uint64_t count = std::min(kRun, image.width - start);
      const char* pixel = row + static_cast<std::int64_t>(start) * image.column_stride;
      for (std::uint64_t j = 0; j < count; ++j, pixel += image.column_stride) {
        rows[j] = full_->nearest(load<T>(pixel), load<T>(pixel + channel),
                                 load<T>(pixel + 2 * channel));
      }
      sink.take(first_pixel, {rows, count});
      first_pixel += count;
    }
  }
}

// Pixels go in runs: first every pixel's cell entry, without a branch that
// depends on the image, then the few pixels whose cell has several
// candidate rows.
template <class T>
void NearestRows::Search::map_with_grid(const DirectImage& image, RowSink& sink) {
  GridSearch& search = *grid_;
  std::uint32_t entries[kRun];
  std::uint32_t unsettled[kRun];
  std::uint64_t rows[kRun];
  const std::int64_t column = image.column_stride;
  const std::int64_t channel = image.channel_stride;
  bool has_last = false;
  std::uint64_t last[3] = {};
  std::uint32_t last_entry = 0;
  std::uint64_t first_pixel = 0;
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
      for (std::uint64_t j = 0; j < count; ++j) rows[j] = GridSearch::settled_row(entries[j]);
      sink.take(first_pixel, {rows, count});
      first_pixel += count;
    }
  }
}

namespace {

template <class T>
bool map_typed(const DirectImage& image, const PaletteView& palette, RowSink& sink) {
  const ValueRange range = value_range<T>(image);
  if (range.has_negative) return false;
  NearestRows::Search search(palette, range.largest);
  search.map_image<T>(image, sink);
  return true;
}

}  // namespace

bool has_negative_value(const DirectImage& image) {
  switch (image.element_size) {
    case 1:
      return image.is_signed && value_range<std::int8_t>(image).has_negative;
    case 2:
      return image.is_signed && value_range<std::int16_t>(image).has_negative;
    case 4:
      return image.is_signed && value_range<std::int32_t>(image).has_negative;
    default:
      return image.is_signed && value_range<std::int64_t>(image).has_negative;
  }
}

bool nearest_rows_of_image(const DirectImage& image, const PaletteView& palette, RowSink& sink) {
  if (image.height == 0 || image.width == 0) return true;
  switch (image.element_size) {
    case 1:
      return image.is_signed ? map_typed<std::int8_t>(image, palette, sink)
                             : map_typed<std::uint8_t>(image, palette, sink);
    case 2:
      return image.is_signed ? map_typed<std::int16_t>(image, palette, sink)
                             : map_typed<std::uint16_t>(image, palette, sink);
    case 4:
      return image.is_signed ? map_typed<std::int32_t>(image, palette, sink)
                             : map_typed<std::uint32_t>(image, palette, sink);
    default:
      return image.is_signed ? map_typed<std::int64_t>(image, palette, sink)
                             : map_typed<std::uint64_t>(image, palette, sink);
  }
}

}  // namespace palettra
