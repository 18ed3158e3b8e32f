#include "engine/error_diffusion.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <exception>
#include <vector>

#include "engine/diffusion_kernels.hpp"
#include "engine/dither_input.hpp"
#include "engine/lane_threads.hpp"
#include "engine/row_chooser.hpp"
#include "engine/row_progress.hpp"

namespace palettra {
namespace {

// Errors are carried in units of 1/(4096·denominator); strength is a
// factor in units of 1/4096.
constexpr std::int64_t kStrengthOne = 4096;
// Taps reach at most two columns to either side; the margins take what
// falls outside the image, which is then never read.
constexpr std::int64_t kMargin = 2;
// A row tells the row after it how far it has got every this many columns
// (and at its end): often enough that the wait is short, seldom enough that
// the two lanes do not pass the counter's line back and forth every pixel.
constexpr std::uint64_t kPublishEvery = 16;
// How many columns beyond the kernel's lead a row keeps behind the row
// before it: the cells one row adds into and the next row reads (24 bytes a
// column) then never share a cache line, which would otherwise go back and
// forth between the two cores at every pixel.
constexpr std::uint64_t kSlack = 32;

// floor(carried / unit + 1/2): round to nearest, halves up.
template <std::int64_t unit>
std::int64_t rounded(std::int64_t carried) noexcept {
  const std::int64_t shifted = carried + unit / 2;
  if constexpr (std::has_single_bit(static_cast<std::uint64_t>(unit))) {
    // An arithmetic shift rounds towards minus infinity.
    return shifted >> std::countr_zero(static_cast<std::uint64_t>(unit));
  } else {
    const std::int64_t quotient = shifted / unit;
    return shifted % unit < 0 ? quotient - 1 : quotient;
  }
}

// The carried errors of the rows under way and ahead, row i in slot
// i % slots.
//
// With L lanes and a kernel of R rows, slots = L + R - 1 are enough, and a
// slot is never taken by its next row too early: row i is written by rows
// i - R + 1 to i - 1 and read by itself only, so the slot of row i + slots
// is first written by row i + slots - R + 1 = i + L, the next row of row i's
// own lane, which that lane's thread starts only after it has finished row
// i and cleared the slot. Every later writer of row i + slots waits, through
// the chain of progress counters, for row i + L to get going, and so comes
// after the clearing too. Nobody else touches the slot meanwhile: row i's
// last column waited for the rows before it to finish theirs.
template <Kernel kernel>
class ErrorRows {
 public:
  ErrorRows(std::uint64_t width, std::size_t lanes)
      : stride_(3 * (static_cast<std::int64_t>(width) + 2 * kMargin)),
        slots_(lanes + static_cast<std::size_t>(kernel.rows()) - 1),
        cells_(static_cast<std::size_t>(stride_) * slots_) {}

  // Column j of image row i.
  std::int64_t* at(std::uint64_t row, std::int64_t column) noexcept {
    const auto slot = static_cast<std::int64_t>(row % slots_);
    return &cells_[static_cast<std::size_t>(slot * stride_ + 3 * (column + kMargin))];
  }
  // Row i is done: its slot will be row i + slots, which has nothing yet.
  void finish(std::uint64_t row) noexcept {
    std::int64_t* first = at(row, -kMargin);
    std::fill(first, first + stride_, 0);
  }

 private:
  std::int64_t stride_;
  std::size_t slots_;
  std::vector<std::int64_t> cells_;
};

// Lanes each own a search (its lazily built cells change as it goes) and a
// row of chosen rows; everything is allocated on the calling thread before
// the first lane starts, so that running out of memory surfaces there as it
// always did, and a lane runs no code that allocates.
template <Kernel kernel, class T>
class Wavefront {
 public:
  Wavefront(const DirectImage& image, const PaletteView& palette, const IndexMap& out,
            const Diffusion& how, std::size_t lanes)
      : image_(image),
        out_(out),
        how_(how),
        lanes_(lanes),
        entries_(palette_entries(palette, how.reader.top)),
        errors_(image.width, lanes),
        progress_(lanes, image.width),
        failures_(lanes) {
    const std::uint64_t rows_per_lane = (image.height + lanes - 1) / lanes;
    searches_.reserve(lanes);
    chosen_.reserve(lanes);
    for (std::size_t lane = 0; lane < lanes; ++lane) {
      searches_.emplace_back(palette, how.reader.top, how.matching, how.margin,
                             rows_per_lane * image.width);
      chosen_.emplace_back(image.width);
    }
  }

  // Lane k's rows run on a thread of its own, lane 0's on the calling
  // thread, which also takes over the lanes of threads that did not start.
  // A lane's failure, which none should have (the search allocates nothing
  // once built, but does not promise it), stops the others and is raised
  // here.
  void run() {
    {
      LaneThreads threads(lanes_ - 1);
      std::size_t started = 1;
      while (started < lanes_ &&
             threads.start([this, lane = started]() noexcept { run_lane(lane, lanes_); })) {
        ++started;
      }
      run_lane(0, started);
    }
    for (const std::exception_ptr& failure : failures_) {
      if (failure) std::rethrow_exception(failure);
    }
  }

 private:
  // The rows of lane `own` and of lanes `adopted` and up, in scan order:
  // each waits only for the row before it, so some row can always go on.
  void run_lane(std::size_t own, std::size_t adopted) noexcept {
    try {
      for (std::uint64_t row = own; row < image_.height; ++row) {
        const std::size_t lane = static_cast<std::size_t>(row % lanes_);
        if (lane != own && lane < adopted) continue;
        const bool finished = lanes_ > 1 ? diffuse_row<true>(row, searches_[own], chosen_[own])
                                         : diffuse_row<false>(row, searches_[own], chosen_[own]);
        if (!finished) return;
      }
    } catch (...) {
      failures_[own] = std::current_exception();
      progress_.abandon();
    }
  }

  // False when the wavefront was abandoned while the row waited. A lane on
  // its own neither waits nor tells.
  template <bool shared>
  bool diffuse_row(std::uint64_t i, RowChooser& search, std::vector<std::uint64_t>& chosen) {
    constexpr std::int64_t unit = kStrengthOne * kernel.denominator;
    constexpr std::int64_t next_weight = kernel.ahead_weight(1);
    constexpr std::int64_t after_weight = kernel.ahead_weight(2);
    static_assert(kernel.ahead_weight(3) == 0);
    constexpr auto lead = static_cast<std::uint64_t>(kernel.lead());
    // Copies: the stores into the error rows below could otherwise be the
    // compiler's reason to read these again for every pixel.
    const DirectImage image = image_;
    const ValueReader reader = how_.reader;
    const std::int64_t strength = how_.strength;
    const auto width = static_cast<std::int64_t>(image.width);
    const auto low = -static_cast<std::int64_t>(how_.margin);
    const auto high = static_cast<std::int64_t>(reader.top + how_.margin);
    // A backwards row needs the whole of the row before it first; serpentine
    // scans run on one lane, where that holds as it is.
    const bool backwards = how_.serpentine && i % 2 == 1;
    const std::int64_t step = backwards ? -1 : 1;
    std::int64_t* below[3] = {errors_.at(i, 0), errors_.at(i + 1, 0), errors_.at(i + 2, 0)};
    // What the row's own pixels carry one and two pixels ahead stays in
    // registers: each pixel waits for the one before it, and a round trip
    // through memory would lengthen that wait.
    std::int64_t next[3] = {};
    std::int64_t after[3] = {};
    std::uint64_t seen = 0;
    const char* row = image.data + static_cast<std::int64_t>(i) * image.row_stride;
    for (std::int64_t t = 0, j = backwards ? width - 1 : 0; t < width; ++t, j += step) {
      const auto done = static_cast<std::uint64_t>(t);
      if (shared && i > 0 &&
          !progress_.wait(i - 1, std::min(image.width, done + lead + 1 + kSlack), seen)) {
        return false;
      }
      const char* pixel = row + j * image.column_stride;
      const std::int64_t* from_above = below[0] + 3 * j;
      std::int64_t adjusted[3];
      for (int c = 0; c < 3; ++c) {
        const std::int64_t value = reader.template read<T>(pixel, image.channel_stride, c);
        adjusted[c] = std::clamp(value + rounded<unit>(from_above[c] + next[c]), low, high);
      }
      const std::uint64_t row_chosen = search.nearest(adjusted);
      chosen[static_cast<std::size_t>(j)] = row_chosen;
      const std::int64_t* colour = &entries_[3 * row_chosen];
      for (int c = 0; c < 3; ++c) {
        const std::int64_t error = (adjusted[c] - colour[c]) * strength;
        next[c] = after[c] + error * next_weight;
        after[c] = error * after_weight;
        for (std::size_t k = 0; k < kernel.count; ++k) {
          const Tap& tap = kernel.taps[k];
          if (tap.dy != 0) below[tap.dy][3 * (j + step * tap.dx) + c] += error * tap.weight;
        }
      }
      if constexpr (shared) {
        if ((done + 1) % kPublishEvery == 0) progress_.publish(i, done + 1);
      }
    }
    out_.write(i * image.width, chosen);
    if constexpr (shared) progress_.publish(i, image.width);
    errors_.finish(i);
    return true;
  }

  const DirectImage& image_;
  const IndexMap& out_;
  const Diffusion& how_;
  std::size_t lanes_;
  std::vector<std::int64_t> entries_;
  ErrorRows<kernel> errors_;
  RowProgress progress_;
  std::vector<std::exception_ptr> failures_;
  std::vector<RowChooser> searches_;
  std::vector<std::vector<std::uint64_t>> chosen_;
};

template <Kernel kernel, class T>
void diffuse_with(const DirectImage& image, const PaletteView& palette, const IndexMap& out,
                  const Diffusion& how) {
  // Rows are what lanes share out; a wavefront needs forward rows only.
  const std::uint64_t lanes = how.serpentine ? 1 : std::min(how.threads, image.height);
  Wavefront<kernel, T>(image, palette, out, how, static_cast<std::size_t>(lanes)).run();
}

template <Kernel kernel>
void diffuse_typed(const DirectImage& image, const PaletteView& palette, const IndexMap& out,
                   const Diffusion& how) {
  switch (image.element_size) {
    case 1:
      return diffuse_with<kernel, std::uint8_t>(image, palette, out, how);
    case 2:
      return diffuse_with<kernel, std::uint16_t>(image, palette, out, how);
    case 4:
      return diffuse_with<kernel, std::uint32_t>(image, palette, out, how);
    default:
      return diffuse_with<kernel, std::uint64_t>(image, palette, out, how);
  }
}

using Diffuser = void (*)(const DirectImage&, const PaletteView&, const IndexMap&,
                          const Diffusion&);

struct Method {
  std::string_view name;
  Diffuser run;
};

constexpr std::array<Method, 9> kMethods{{
    {"floyd-steinberg", diffuse_typed<kFloydSteinberg>},
    {"false-floyd-steinberg", diffuse_typed<kFalseFloydSteinberg>},
    {"jarvis-judice-ninke", diffuse_typed<kJarvisJudiceNinke>},
    {"stucki", diffuse_typed<kStucki>},
    {"burkes", diffuse_typed<kBurkes>},
    {"sierra", diffuse_typed<kSierra>},
    {"sierra-two-row", diffuse_typed<kSierraTwoRow>},
    {"sierra-lite", diffuse_typed<kSierraLite>},
    {"atkinson", diffuse_typed<kAtkinson>},
}};

const Method* find_method(std::string_view name) {
  for (const Method& method : kMethods) {
    if (method.name == name) return &method;
  }
  return nullptr;
}

}  // namespace

bool is_diffusion_method(std::string_view method) { return find_method(method) != nullptr; }

void diffuse(const DirectImage& image, const PaletteView& palette, const IndexMap& out,
             std::string_view method, const Diffusion& how) {
  if (image.height == 0 || image.width == 0) return;
  find_method(method)->run(image, palette, out, how);
}

}  // namespace palettra
