#include "engine/error_diffusion.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <vector>

#include "engine/dither_input.hpp"
#include "engine/row_chooser.hpp"

namespace palettra {
namespace {

struct Tap {
  int dy;
  int dx;
  std::int64_t weight;
};

// A kernel's taps are relative to the pixel, in a left-to-right scan.
struct Kernel {
  std::int64_t denominator;
  std::size_t count;
  std::array<Tap, 12> taps;

  constexpr int rows() const {
    int rows = 1;
    for (std::size_t t = 0; t < count; ++t) rows = taps[t].dy + 1 > rows ? taps[t].dy + 1 : rows;
    return rows;
  }
};

constexpr Kernel kFloydSteinberg{16, 4, {{{0, 1, 7}, {1, -1, 3}, {1, 0, 5}, {1, 1, 1}}}};
constexpr Kernel kFalseFloydSteinberg{8, 3, {{{0, 1, 3}, {1, 0, 3}, {1, 1, 2}}}};
constexpr Kernel kJarvisJudiceNinke{
    48, 12, {{{0, 1, 7}, {0, 2, 5},
              {1, -2, 3}, {1, -1, 5}, {1, 0, 7}, {1, 1, 5}, {1, 2, 3},
              {2, -2, 1}, {2, -1, 3}, {2, 0, 5}, {2, 1, 3}, {2, 2, 1}}}};
constexpr Kernel kStucki{
    42, 12, {{{0, 1, 8}, {0, 2, 4},
              {1, -2, 2}, {1, -1, 4}, {1, 0, 8}, {1, 1, 4}, {1, 2, 2},
              {2, -2, 1}, {2, -1, 2}, {2, 0, 4}, {2, 1, 2}, {2, 2, 1}}}};
constexpr Kernel kBurkes{
    32, 7, {{{0, 1, 8}, {0, 2, 4}, {1, -2, 2}, {1, -1, 4}, {1, 0, 8}, {1, 1, 4}, {1, 2, 2}}}};
constexpr Kernel kSierra{
    32, 10, {{{0, 1, 5}, {0, 2, 3},
              {1, -2, 2}, {1, -1, 4}, {1, 0, 5}, {1, 1, 4}, {1, 2, 2},
              {2, -1, 2}, {2, 0, 3}, {2, 1, 2}}}};
constexpr Kernel kSierraTwoRow{
    16, 7, {{{0, 1, 4}, {0, 2, 3}, {1, -2, 1}, {1, -1, 2}, {1, 0, 3}, {1, 1, 2}, {1, 2, 1}}}};
constexpr Kernel kSierraLite{4, 3, {{{0, 1, 2}, {1, -1, 1}, {1, 0, 1}}}};
constexpr Kernel kAtkinson{
    8, 6, {{{0, 1, 1}, {0, 2, 1}, {1, -1, 1}, {1, 0, 1}, {1, 1, 1}, {2, 0, 1}}}};

// Errors are carried in units of 1/(4096·denominator); strength is a
// factor in units of 1/4096.
constexpr std::int64_t kStrengthOne = 4096;
// Taps reach at most two columns to either side; the margins take what
// falls outside the image, which is then never read.
constexpr std::int64_t kMargin = 2;

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

// The carried errors of the rows still ahead, row i in slot i % kernel rows.
template <Kernel kernel>
class ErrorRows {
 public:
  explicit ErrorRows(std::uint64_t width)
      : stride_(3 * (static_cast<std::int64_t>(width) + 2 * kMargin)),
        cells_(static_cast<std::size_t>(stride_ * kernel.rows())) {}

  // Column j of image row i.
  std::int64_t* at(std::uint64_t row, std::int64_t column) noexcept {
    const auto slot = static_cast<std::int64_t>(row % kernel.rows());
    return &cells_[static_cast<std::size_t>(slot * stride_ + 3 * (column + kMargin))];
  }
  // Row i is done: its slot becomes row i + kernel rows, which has nothing yet.
  void finish(std::uint64_t row) noexcept {
    std::int64_t* first = at(row, -kMargin);
    std::fill(first, first + stride_, 0);
  }

 private:
  std::int64_t stride_;
  std::vector<std::int64_t> cells_;
};

// The weight of the tap `dx` columns ahead in the same row, or 0.
constexpr std::int64_t ahead_weight(const Kernel& kernel, int dx) {
  for (std::size_t t = 0; t < kernel.count; ++t) {
    if (kernel.taps[t].dy == 0 && kernel.taps[t].dx == dx) return kernel.taps[t].weight;
  }
  return 0;
}

template <Kernel kernel, class T>
void diffuse_with(const DirectImage& image, const PaletteView& palette, const IndexMap& out,
                  bool serpentine, std::int64_t strength, const ValueReader& reader,
                  Matching matching, std::uint64_t margin) {
  constexpr std::int64_t unit = kStrengthOne * kernel.denominator;
  const std::uint64_t top = reader.top;
  constexpr std::int64_t next_weight = ahead_weight(kernel, 1);
  constexpr std::int64_t after_weight = ahead_weight(kernel, 2);
  static_assert(ahead_weight(kernel, 3) == 0);
  const std::vector<std::int64_t> entries = palette_entries(palette, top);
  RowChooser search(palette, top, matching, margin, image.height * image.width);
  ErrorRows<kernel> errors(image.width);
  std::vector<std::uint64_t> chosen(image.width);
  const auto width = static_cast<std::int64_t>(image.width);
  const auto low = -static_cast<std::int64_t>(margin);
  const auto high = static_cast<std::int64_t>(top + margin);
  for (std::uint64_t i = 0; i < image.height; ++i) {
    const bool backwards = serpentine && i % 2 == 1;
    const std::int64_t step = backwards ? -1 : 1;
    std::int64_t* below[3] = {errors.at(i, 0), errors.at(i + 1, 0), errors.at(i + 2, 0)};
    // What the row's own pixels carry one and two pixels ahead stays in
    // registers: each pixel waits for the one before it, and a round trip
    // through memory would lengthen that wait.
    std::int64_t next[3] = {};
    std::int64_t after[3] = {};
    const char* row = image.data + static_cast<std::int64_t>(i) * image.row_stride;
    for (std::int64_t t = 0, j = backwards ? width - 1 : 0; t < width; ++t, j += step) {
      const char* pixel = row + j * image.column_stride;
      const std::int64_t* from_above = below[0] + 3 * j;
      std::int64_t adjusted[3];
      for (int c = 0; c < 3; ++c) {
        const std::int64_t value = reader.template read<T>(pixel, image.channel_stride, c);
        adjusted[c] = std::clamp(value + rounded<unit>(from_above[c] + next[c]), low, high);
      }
      const std::uint64_t row_chosen = search.nearest(adjusted);
      chosen[static_cast<std::size_t>(j)] = row_chosen;
      const std::int64_t* colour = &entries[3 * row_chosen];
      for (int c = 0; c < 3; ++c) {
        const std::int64_t error = (adjusted[c] - colour[c]) * strength;
        next[c] = after[c] + error * next_weight;
        after[c] = error * after_weight;
        for (std::size_t k = 0; k < kernel.count; ++k) {
          const Tap& tap = kernel.taps[k];
          if (tap.dy != 0) below[tap.dy][3 * (j + step * tap.dx) + c] += error * tap.weight;
        }
      }
    }
    out.write(i * image.width, chosen);
    errors.finish(i);
  }
}

template <Kernel kernel>
void diffuse_typed(const DirectImage& image, const PaletteView& palette, const IndexMap& out,
                   bool serpentine, std::int64_t strength, const ValueReader& reader,
                   Matching matching, std::uint64_t margin) {
  switch (image.element_size) {
    case 1:
      return diffuse_with<kernel, std::uint8_t>(image, palette, out, serpentine, strength, reader,
                                                         matching, margin);
    case 2:
      return diffuse_with<kernel, std::uint16_t>(image, palette, out, serpentine, strength, reader,
                                                         matching, margin);
    case 4:
      return diffuse_with<kernel, std::uint32_t>(image, palette, out, serpentine, strength, reader,
                                                         matching, margin);
    default:
      return diffuse_with<kernel, std::uint64_t>(image, palette, out, serpentine, strength, reader,
                                                         matching, margin);
  }
}

using Diffuser = void (*)(const DirectImage&, const PaletteView&, const IndexMap&, bool,
                          std::int64_t, const ValueReader&, Matching, std::uint64_t);

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
             std::string_view method, bool serpentine, std::int64_t strength,
             const ValueReader& reader, Matching matching, std::uint64_t margin) {
  if (image.height == 0 || image.width == 0) return;
  find_method(method)->run(image, palette, out, serpentine, strength, reader, matching, margin);
}

}  // namespace palettra
