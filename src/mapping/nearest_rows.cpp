#include "mapping/nearest_rows.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <optional>
#include <type_traits>
#include <vector>

#include "mapping/block_scan.hpp"
#include "mapping/byte_lanes.hpp"
#include "mapping/grid_search.hpp"
#include "mapping/row_scan.hpp"
#include "mapping/search_palette.hpp"
#include "mapping/work_account.hpp"

namespace palettra {
namespace {

// Everything a search builds (the palette's copy, the grid, candidate lists,
// scratch) stays within this many bytes, whatever the palette.
constexpr std::size_t kMemoryBudget = std::size_t{4} << 20;
// A grid needs at least this much room for candidate lists to be of use.
constexpr std::size_t kLeastPool = std::size_t{256} << 10;
// Fewer pixels than this are compared with the palette where it lies:
// copying it would cost about as much as the comparisons themselves.
constexpr std::uint64_t kFewPixels = 16;
constexpr std::size_t kRun = NearestRows::kMostPerRun;
// Runs are compared with every colour at once only where that costs less
// than searching for three tenths of their pixels.
constexpr std::size_t kMostLaneCost = 30;
static_assert(BlockScan::kMostPerRun >= kRun);

bool same_pixel(const std::uint64_t* a, const std::uint64_t* b) noexcept {
  return a[0] == b[0] && a[1] == b[1] && a[2] == b[2];
}

template <class T>
std::uint64_t load(const char* address) noexcept {
  T value;
  std::memcpy(&value, address, sizeof value);
  return static_cast<std::uint64_t>(value);
}

// Where the answers go: rows to a sink, a run at a time, or colours
// straight into the result. `colour(j, k)` takes distinct colour k as the
// answer for pixel j of the current run; a later call for the same pixel
// replaces it.
class RowOutput {
 public:
  explicit RowOutput(RowSink& sink) noexcept : sink_(sink) {}
  void start_run(std::uint64_t first_pixel) noexcept { first_pixel_ = first_pixel; }
  void colour(std::size_t j, const SearchPalette& palette, std::size_t k) noexcept {
    rows_[j] = palette.origin(k);
  }
  std::uint64_t* rows() noexcept { return rows_; }
  void finish_run(std::size_t count, bool /*rows_given*/) {
    sink_.take(first_pixel_, {rows_, count});
  }

 private:
  RowSink& sink_;
  std::uint64_t first_pixel_ = 0;
  std::uint64_t rows_[kRun];
};

class ColourOutput {
 public:
  ColourOutput(const PaletteView& view, std::uint64_t* out) noexcept : view_(view), out_(out) {}
  void start_run(std::uint64_t first_pixel) noexcept { run_ = out_ + 3 * first_pixel; }
  void colour(std::size_t j, const SearchPalette& palette, std::size_t k) noexcept {
    const std::uint64_t* colour = palette.stored(k);
    std::uint64_t* out = run_ + 3 * j;
    out[0] = colour[0];
    out[1] = colour[1];
    out[2] = colour[2];
  }
  std::uint64_t* rows() noexcept { return rows_; }
  void finish_run(std::size_t count, bool rows_given) noexcept {
    if (!rows_given) return;
    for (std::size_t j = 0; j < count; ++j) {
      for (std::size_t c = 0; c < 3; ++c) run_[3 * j + c] = view_.entry(rows_[j], c);
    }
  }

 private:
  const PaletteView& view_;
  std::uint64_t* out_;
  std::uint64_t* run_ = nullptr;
  std::uint64_t rows_[kRun];
};

}  // namespace

class NearestRows::Search {
 public:
  Search(const PaletteView& view, std::uint64_t largest_value, std::uint64_t expected_pixels)
      : view_(view) {
    // Rows that share their memory are one colour: the first always wins.
    if (view_.row_stride == 0) view_.rows = std::min<std::uint64_t>(view_.rows, 1);
    if (expected_pixels < kFewPixels) return;
    // Palettes beyond the budget are compared a block of rows at a time.
    const std::uint64_t rows = view_.rows;
    if (SearchPalette::bytes_for(rows) + GridSearch::most_bytes(rows) + kLeastPool >
        kMemoryBudget) {
      blocks_.emplace(view_);
      return;
    }
    palette_.emplace(view_);
    const unsigned bits =
        static_cast<unsigned>(std::bit_width(std::max(largest_value, palette_->largest())));
    // A few colours of bytes are compared with runs of byte pixels at once
    // faster than a grid finds them; the grid still serves pixels asked
    // about one at a time.
    const LaneKernel kernel = lane_kernels().back();
    const std::size_t share = lane_cost(kernel, palette_->rows());
    if (bits <= 8 && palette_->rows() <= kMostLaneColours && share < kMostLaneCost) {
      lane_kernel_ = kernel;
      lane_share_ = share;
      lane_colours_.reserve(palette_->rows());
      for (std::size_t k = 0; k < palette_->rows(); ++k) {
        const std::uint64_t* colour = palette_->stored(k);
        lane_colours_.emplace_back(static_cast<std::uint32_t>(colour[0]),
                                   static_cast<std::uint32_t>(colour[1]),
                                   static_cast<std::uint32_t>(colour[2]), k);
      }
    }
    grid_.emplace(*palette_, bits, expected_pixels,
                  kMemoryBudget - SearchPalette::bytes_for(rows) -
                      lane_colours_.capacity() * sizeof(LaneColour));
    account_.emplace(rows, palette_->rows());
  }

  std::uint64_t nearest(std::uint64_t s0, std::uint64_t s1, std::uint64_t s2) {
    if (!grid_) return in_place(s0, s1, s2);
    account_->earn(1);
    account_->spend(cost::kLookup);
    return palette_->origin(nearest_colour(s0, s1, s2));
  }

  void nearest_run(const std::uint64_t* pixels, std::size_t count, std::uint64_t* rows) {
    if (!grid_) {
      rows_without_grid(pixels, count, rows);
      return;
    }
    const auto values = [&](std::size_t j, std::uint64_t* values) {
      std::memcpy(values, pixels + 3 * j, 24);
    };
    const auto put = [&](std::size_t j, std::size_t k) { rows[j] = palette_->origin(k); };
    const GridSearch::Layout where = grid_->layout();
    settle_run_either<true>(
        count, nullptr, values,
        [where](const std::uint64_t* pixel) { return where.index(pixel[0], pixel[1], pixel[2]); },
        put);
  }

  // Every pixel of the image, in row-major order, a run at a time.
  template <class T, class Output>
  void map_image(const DirectImage& image, Output& output) {
    if (grid_) {
      map_image_through_grid<T>(image, output);
    } else {
      map_image_without_grid<T>(image, output);
    }
  }

 private:
  // Runs stop at the end of each image row, so that a pixel's values are
  // found from its position in the run alone.
  template <class T, class Output>
  void map_image_through_grid(const DirectImage& image, Output& output) {
    // Only where the element type holds values past the grid's range can
    // memory written behind the caller's back bring them in: a uint8 image
    // never does.
    const std::uint64_t type_bits = std::is_signed_v<T> ? ~std::uint64_t{0} : std::numeric_limits<T>::max();
    if (grid_->beyond_range(type_bits)) {
      map_image_through_grid<T, true>(image, output);
    } else {
      map_image_through_grid<T, false>(image, output);
    }
  }

  template <class T, bool kMayExceedRange, class Output>
  void map_image_through_grid(const DirectImage& image, Output& output) {
    if constexpr (std::is_same_v<T, std::uint8_t>) {
      GridSearch::ByteShares shares;
      grid_->byte_shares(shares);
      map_rows_through_grid<T, kMayExceedRange>(image, output, [&](const std::uint64_t* pixel) {
        return shares[0][pixel[0]] | shares[1][pixel[1]] | shares[2][pixel[2]];
      });
    } else {
      const GridSearch::Layout where = grid_->layout();
      map_rows_through_grid<T, kMayExceedRange>(image, output, [where](const std::uint64_t* pixel) {
        return where.index(pixel[0], pixel[1], pixel[2]);
      });
    }
  }

  // `locate(pixel)` gives the index of the pixel's cell.
  template <class T, bool kMayExceedRange, class Output, class Locate>
  void map_rows_through_grid(const DirectImage& image, Output& output, const Locate& locate) {
    each_run<T>(image, output,
                [&](std::size_t count, const std::uint8_t* packed, const auto& values, const auto& put) {
                  settle_run_either<kMayExceedRange>(count, packed, values, locate, put);
                });
  }

  // Hands every run of the image to `settle(count, packed, values, put)`,
  // as settle_run_either() takes them.
  template <class T, class Output, class Settle>
  void each_run(const DirectImage& image, Output& output, const Settle& settle) {
    const std::int64_t column = image.column_stride;
    const std::int64_t channel = image.channel_stride;
    std::uint64_t first_pixel = 0;
    for (std::uint64_t i = 0; i < image.height; ++i) {
      const char* row = image.data + static_cast<std::int64_t>(i) * image.row_stride;
      for (std::uint64_t start = 0; start < image.width; start += kRun) {
        const std::size_t count = std::min<std::uint64_t>(kRun, image.width - start);
        const char* first = row + static_cast<std::int64_t>(start) * column;
        output.start_run(first_pixel);
        // Bytes one pixel after another, as most images hold them, are
        // unpacked many at once.
        const auto* packed = std::is_same_v<T, std::uint8_t> && column == 3 && channel == 1
                                 ? reinterpret_cast<const std::uint8_t*>(first)
                                 : nullptr;
        settle(
            count, packed,
            [&](std::size_t j, std::uint64_t* values) {
              const char* pixel = first + static_cast<std::int64_t>(j) * column;
              values[0] = load<T>(pixel);
              values[1] = load<T>(pixel + channel);
              values[2] = load<T>(pixel + 2 * channel);
            },
            [&](std::size_t j, std::size_t k) { output.colour(j, *palette_, k); });
        output.finish_run(count, false);
        first_pixel += count;
      }
    }
  }

  // Runs go on across image rows: each costs the blocks of the palette a
  // copy, which whole runs keep small against the comparisons.
  template <class T, class Output>
  void map_image_without_grid(const DirectImage& image, Output& output) {
    std::uint64_t pixels[3 * kRun];
    std::size_t count = 0;
    std::uint64_t first_pixel = 0;
    const auto flush = [&] {
      output.start_run(first_pixel);
      rows_without_grid(pixels, count, output.rows());
      output.finish_run(count, true);
      first_pixel += count;
      count = 0;
    };
    for (std::uint64_t i = 0; i < image.height; ++i) {
      const char* pixel = image.data + static_cast<std::int64_t>(i) * image.row_stride;
      for (std::uint64_t j = 0; j < image.width; ++j, pixel += image.column_stride) {
        pixels[3 * count] = load<T>(pixel);
        pixels[3 * count + 1] = load<T>(pixel + image.channel_stride);
        pixels[3 * count + 2] = load<T>(pixel + 2 * image.channel_stride);
        if (++count == kRun) flush();
      }
    }
    if (count != 0) flush();
  }

  std::size_t nearest_colour(std::uint64_t s0, std::uint64_t s1, std::uint64_t s2) {
    if (grid_->beyond_range(s0 | s1 | s2)) return grid_->nearest_by_scan(s0, s1, s2, *account_);
    const std::uint32_t entry = grid_->cell_entry(s0, s1, s2);
    return GridSearch::settles(entry) ? GridSearch::settled_colour(entry)
                                      : grid_->resolve(entry, s0, s1, s2, *account_);
  }

  std::uint64_t in_place(std::uint64_t s0, std::uint64_t s1, std::uint64_t s2) const noexcept {
    const double x0 = static_cast<double>(s0);
    const double x1 = static_cast<double>(s1);
    const double x2 = static_cast<double>(s2);
    double best = std::numeric_limits<double>::infinity();
    std::uint64_t chosen = 0;
    for (std::uint64_t k = 0; k < view_.rows; ++k) {
      const double d = distance_to(static_cast<double>(view_.entry(k, 0)),
                                   static_cast<double>(view_.entry(k, 1)),
                                   static_cast<double>(view_.entry(k, 2)), x0, x1, x2);
      if (d < best) {
        best = d;
        chosen = k;
      }
    }
    return chosen;
  }

  void rows_without_grid(const std::uint64_t* pixels, std::size_t count, std::uint64_t* rows) {
    if (blocks_) {
      blocks_->nearest_run(pixels, count, rows);
      return;
    }
    for (std::size_t j = 0; j < count; ++j) {
      const std::uint64_t* pixel = pixels + 3 * j;
      rows[j] = in_place(pixel[0], pixel[1], pixel[2]);
    }
  }

  // Photos leave many pixels of a run to their cells' candidates, and
  // there comparing the whole run with every colour at once is faster;
  // flat images settle nearly every pixel with a look-up, or repeat the
  // pixel before. The share of a run's pixels the grid leaves to be
  // searched, against the cost of comparing each with every colour,
  // decides how the next runs go; while they go at once, every
  // kProbeEvery-th goes through the grid again to tell whether it still
  // pays.
  static constexpr std::size_t kProbeEvery = 16;

  // `packed`, when not null, holds the run's pixels as bytes one after
  // another.
  template <bool kMayExceedRange, class Values, class Locate, class Put>
  void settle_run_either(std::size_t count, const std::uint8_t* packed, const Values& values,
                         const Locate& locate, const Put& put) {
    if (in_lanes_ && --runs_until_probe_ != 0) {
      settle_run_in_lanes<kMayExceedRange>(count, packed, values, put);
      return;
    }
    const std::size_t searched = settle_run<kMayExceedRange>(count, values, locate, put);
    in_lanes_ = !lane_colours_.empty() && searched * 100 >= count * lane_share_;
    runs_until_probe_ = kProbeEvery;
  }

  // Every pixel's distinct colour, handed to `put(j, k)`: first every
  // pixel's cell entry, without a branch that depends on the image, each
  // pixel given its cell's colour or, where the cell does not settle it, a
  // stand-in; then the few pixels whose cell does not settle them.
  // `values(j, out)` gives pixel j's values, `locate(values)` the index of
  // their cell; kMayExceedRange, whether they can be past the grid's range.
  // Gives how many pixels had to be searched for: those the cells did not
  // settle, less those that repeated the pixel before.
  template <bool kMayExceedRange, class Values, class Locate, class Put>
  std::size_t settle_run(std::size_t count, const Values& values, const Locate& locate,
                         const Put& put) {
    std::uint32_t unsettled[kRun];
    std::uint32_t unsettled_entries[kRun];
    account_->earn(count);
    account_->spend(cost::kLookup * static_cast<double>(count));
    std::size_t waiting = 0;
    const std::uint32_t* cells = grid_->layout().cells;
    std::uint64_t every_value = 0;
    for (std::size_t j = 0; j < count; ++j) {
      std::uint64_t pixel[3];
      values(j, pixel);
      if constexpr (kMayExceedRange) every_value |= pixel[0] | pixel[1] | pixel[2];
      const std::uint32_t entry = cells[locate(pixel)];
      put(j, GridSearch::settled_colour_or_first(entry));
      unsettled[waiting] = static_cast<std::uint32_t>(j);
      unsettled_entries[waiting] = entry;
      waiting += GridSearch::settles(entry) ? 0 : 1;
    }
    std::size_t pairs = 0;
    std::size_t searched = 0;
    for (std::size_t w = 0; w < waiting; ++w) {
      const std::uint32_t j = unsettled[w];
      const std::uint32_t entry = unsettled_entries[w];
      std::uint64_t pixel[3];
      values(j, pixel);
      // Flat areas repeat the colour just found.
      if (!has_last_ || !same_pixel(pixel, last_pixel_)) {
        searched += 1;
        if (GridSearch::is_pair(entry)) {
          pairs += 1;
          last_colour_ = grid_->nearer_of_pair(entry, pixel[0], pixel[1], pixel[2]);
        } else {
          last_colour_ = grid_->resolve(entry, pixel[0], pixel[1], pixel[2], *account_);
        }
        std::copy_n(pixel, 3, last_pixel_);
        has_last_ = true;
      }
      put(j, last_colour_);
    }
    account_->spend(2 * cost::kCandidate * static_cast<double>(pairs));
    if (kMayExceedRange && grid_->beyond_range(every_value)) settle_beyond_range(count, values, put);
    return searched;
  }

  // As settle_run(), every pixel compared with every colour at once.
  template <bool kMayExceedRange, class Values, class Put>
  void settle_run_in_lanes(std::size_t count, const std::uint8_t* packed, const Values& values,
                           const Put& put) {
    account_->earn(count);
    account_->spend(cost::kLaneColour * static_cast<double>(lane_colours_.size() * count));
    std::uint64_t every_value = 0;
    if (packed != nullptr) {
      unpack_byte_pixels(lane_kernel_, packed, count, lane_red_green_, lane_blue_);
    } else {
      for (std::size_t j = 0; j < count; ++j) {
        std::uint64_t pixel[3];
        values(j, pixel);
        if constexpr (kMayExceedRange) every_value |= pixel[0] | pixel[1] | pixel[2];
        // Masked, so that a value past a byte still makes a key; its pixel
        // is answered again below.
        lane_red_green_[j] = lane_red_green(static_cast<std::uint32_t>(pixel[0] & 0xff),
                                            static_cast<std::uint32_t>(pixel[1] & 0xff));
        lane_blue_[j] = static_cast<std::int32_t>(pixel[2] & 0xff);
      }
    }
    std::uint16_t places[kRun];
    nearest_in_lanes(lane_kernel_, lane_colours_, lane_red_green_, lane_blue_, count, places);
    for (std::size_t j = 0; j < count; ++j) put(j, places[j]);
    if (kMayExceedRange && grid_->beyond_range(every_value)) settle_beyond_range(count, values, put);
  }

  // A run that held a value past the grid's range, which only memory
  // written behind the caller's back can: every pixel once more, one at a
  // time, so that each gets the colour nearest to the values it was last
  // read with, whether they changed between readings or not.
  template <class Values, class Put>
  void settle_beyond_range(std::size_t count, const Values& values, const Put& put) {
    for (std::size_t j = 0; j < count; ++j) {
      std::uint64_t pixel[3];
      values(j, pixel);
      put(j, nearest_colour(pixel[0], pixel[1], pixel[2]));
    }
  }

  PaletteView view_;
  std::optional<SearchPalette> palette_;
  std::optional<GridSearch> grid_;
  std::optional<WorkAccount> account_;
  std::optional<BlockScan> blocks_;
  // Every distinct colour, when runs are compared with all at once.
  std::vector<LaneColour> lane_colours_;
  LaneKernel lane_kernel_ = LaneKernel::kPortable;
  // In hundredths: runs go at once while more of their pixels than this
  // need a search.
  std::size_t lane_share_ = 0;
  bool in_lanes_ = false;
  std::size_t runs_until_probe_ = 0;
  std::int32_t lane_red_green_[kRun] = {};
  std::int32_t lane_blue_[kRun] = {};
  bool has_last_ = false;
  std::uint64_t last_pixel_[3] = {};
  std::size_t last_colour_ = 0;
};

NearestRows::NearestRows(const PaletteView& palette, std::uint64_t largest_value,
                         std::uint64_t expected_pixels)
    : search_(std::make_unique<Search>(palette, largest_value, expected_pixels)) {}
NearestRows::NearestRows(NearestRows&&) noexcept = default;
NearestRows& NearestRows::operator=(NearestRows&&) noexcept = default;
NearestRows::~NearestRows() = default;

std::uint64_t NearestRows::nearest(std::uint64_t s0, std::uint64_t s1, std::uint64_t s2) {
  return search_->nearest(s0, s1, s2);
}

void NearestRows::nearest_run(const std::uint64_t* pixels, std::size_t count,
                              std::uint64_t* rows) {
  search_->nearest_run(pixels, count, rows);
}

namespace {

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

template <class T, class Output>
bool map_typed(const DirectImage& image, const PaletteView& palette, Output& output) {
  const ValueRange range = value_range<T>(image);
  if (range.has_negative) return false;
  NearestRows::Search search(palette, range.largest, image.height * image.width);
  search.map_image<T>(image, output);
  return true;
}

template <class Output>
bool map_image(const DirectImage& image, const PaletteView& palette, Output& output) {
  if (image.height == 0 || image.width == 0) return true;
  switch (image.element_size) {
    case 1:
      return image.is_signed ? map_typed<std::int8_t>(image, palette, output)
                             : map_typed<std::uint8_t>(image, palette, output);
    case 2:
      return image.is_signed ? map_typed<std::int16_t>(image, palette, output)
                             : map_typed<std::uint16_t>(image, palette, output);
    case 4:
      return image.is_signed ? map_typed<std::int32_t>(image, palette, output)
                             : map_typed<std::uint32_t>(image, palette, output);
    default:
      return image.is_signed ? map_typed<std::int64_t>(image, palette, output)
                             : map_typed<std::uint64_t>(image, palette, output);
  }
}

template <class T>
bool holds_negative(const DirectImage& image) {
  return value_range<T>(image).has_negative;
}

}  // namespace

bool has_negative_value(const DirectImage& image) {
  if (!image.is_signed) return false;
  switch (image.element_size) {
    case 1:
      return holds_negative<std::int8_t>(image);
    case 2:
      return holds_negative<std::int16_t>(image);
    case 4:
      return holds_negative<std::int32_t>(image);
    default:
      return holds_negative<std::int64_t>(image);
  }
}

bool nearest_rows_of_image(const DirectImage& image, const PaletteView& palette, RowSink& sink) {
  RowOutput output(sink);
  return map_image(image, palette, output);
}

bool nearest_colours_of_image(const DirectImage& image, const PaletteView& palette,
                              std::uint64_t* out) {
  ColourOutput output(palette, out);
  return map_image(image, palette, output);
}

}  // namespace palettra
