// Maps a fixed set of images through the nearest-row search and prints one
// line per case: its name, whether every row matched a plain first-minimum
// search, and a digest of the rows. Exits with 1 when any row differs. The
// lines must be the same on every processor: the build check runs this
// natively and under emulation of another processor and compares them.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "engine/linear_lab.hpp"
#include "mapping/nearest_rows.hpp"

namespace {

using palettra::DirectImage;
using palettra::NearestRows;
using palettra::PaletteView;

// The standard fixes this engine's sequence, unlike its distributions.
std::mt19937_64 random_bits(14);

std::uint64_t pick(std::uint64_t low, std::uint64_t high) {
  const std::uint64_t span = high - low;
  const std::uint64_t draw = random_bits();
  return span == std::numeric_limits<std::uint64_t>::max() ? draw : low + draw % (span + 1);
}

std::uint64_t read_value(const char* address, const DirectImage& image) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, address, image.element_size);  // little-endian on both
  if (image.is_signed && image.element_size < 8 && (bits >> (8 * image.element_size - 1)) != 0) {
    bits |= ~std::uint64_t{0} << (8 * image.element_size);
  }
  return bits;
}

std::uint64_t first_nearest(const PaletteView& palette, std::uint64_t s0, std::uint64_t s1,
                            std::uint64_t s2) {
  double best = std::numeric_limits<double>::max();
  std::uint64_t chosen = 0;
  for (std::uint64_t k = 0; k < palette.rows; ++k) {
    const double d0 = static_cast<double>(s0) - static_cast<double>(palette.entry(k, 0));
    const double d1 = static_cast<double>(s1) - static_cast<double>(palette.entry(k, 1));
    const double d2 = static_cast<double>(s2) - static_cast<double>(palette.entry(k, 2));
    const double distance = (d0 * d0 + d1 * d1) + d2 * d2;
    if (distance < best) {
      best = distance;
      chosen = k;
    }
  }
  return chosen;
}

class Collected final : public palettra::RowSink {
 public:
  void take(std::uint64_t first_pixel, std::span<const std::uint64_t> rows) override {
    in_order = in_order && first_pixel == this->rows.size();
    this->rows.insert(this->rows.end(), rows.begin(), rows.end());
  }
  std::vector<std::uint64_t> rows;
  bool in_order = true;
};

// Owns the memory of an image or palette of 8-byte-aligned elements.
struct Memory {
  std::vector<std::uint64_t> words;
  char* at(std::int64_t byte) { return reinterpret_cast<char*>(words.data()) + byte; }
};

struct Layout {
  const char* name;
  // Moves the origin and strides of a contiguous (h, w, 4) image.
  void (*arrange)(DirectImage& image);
};

const Layout kLayouts[] = {
    {"contiguous", [](DirectImage&) {}},
    {"reversed", [](DirectImage& image) {
       image.data += static_cast<std::int64_t>(image.height - 1) * image.row_stride +
                     static_cast<std::int64_t>(image.width - 1) * image.column_stride;
       image.row_stride = -image.row_stride;
       image.column_stride = -image.column_stride;
     }},
    {"channels-backwards", [](DirectImage& image) {
       image.data += 2 * image.channel_stride;
       image.channel_stride = -image.channel_stride;
     }},
    {"repeated-pixel-and-row", [](DirectImage& image) {
       image.column_stride = 0;
       image.row_stride = 0;
     }},
};

struct Values {
  unsigned element_size;
  bool is_signed;
  std::uint64_t low;
  std::uint64_t high;
};

int failures = 0;

void check(const std::string& name, const Values& values, std::uint64_t rows, std::uint64_t height,
           std::uint64_t width, std::uint64_t palette_low, std::uint64_t palette_high) {
  // Palettes as (rows, 5) with the first three columns used, read backwards.
  std::vector<std::uint64_t> palette_words(rows * 5);
  for (std::uint64_t& word : palette_words) word = pick(palette_low, palette_high);
  const PaletteView palette{reinterpret_cast<const char*>(&palette_words[(rows - 1) * 5]), rows, 5,
                            -40, 8};
  Memory memory{std::vector<std::uint64_t>(height * width * 4 * values.element_size / 8 + 1)};
  for (std::uint64_t i = 0; i < height * width * 4; ++i) {
    const std::uint64_t value = pick(values.low, values.high);
    std::memcpy(memory.at(static_cast<std::int64_t>(i * values.element_size)), &value,
                values.element_size);
  }
  for (const Layout& layout : kLayouts) {
    const std::int64_t size = values.element_size;
    DirectImage image{memory.at(0), height, width, static_cast<std::int64_t>(width) * 4 * size,
                      4 * size, size, values.element_size, values.is_signed};
    layout.arrange(image);
    Collected collected;
    const bool mapped = palettra::nearest_rows_of_image(image, palette, collected);
    std::uint64_t largest = 0;
    bool negative = false;
    bool same = collected.in_order && (!mapped || collected.rows.size() == height * width);
    std::vector<std::uint64_t> expected;
    std::vector<std::uint64_t> triples;
    for (std::uint64_t i = 0; i < height; ++i) {
      for (std::uint64_t j = 0; j < width; ++j) {
        const char* pixel = image.data + static_cast<std::int64_t>(i) * image.row_stride +
                            static_cast<std::int64_t>(j) * image.column_stride;
        std::uint64_t s[3];
        for (int c = 0; c < 3; ++c) {
          s[c] = read_value(pixel + c * image.channel_stride, image);
          negative = negative || (values.is_signed && static_cast<std::int64_t>(s[c]) < 0);
          largest = std::max(largest, s[c]);
        }
        triples.insert(triples.end(), s, s + 3);
        expected.push_back(first_nearest(palette, s[0], s[1], s[2]));
      }
    }
    same = same && mapped == !negative && negative == palettra::has_negative_value(image);
    std::vector<std::uint64_t> colours(3 * height * width);
    same = same && palettra::nearest_colours_of_image(image, palette, colours.data()) == mapped;
    if (mapped) {
      same = same && collected.rows == expected;
      // The per-pixel and per-run interfaces, built for the largest value seen.
      NearestRows search(palette, largest, height * width);
      for (std::uint64_t p = 0; p < expected.size(); ++p) {
        const std::uint64_t* s = &triples[3 * p];
        same = same && search.nearest(s[0], s[1], s[2]) == expected[p];
        for (int c = 0; c < 3; ++c) {
          same = same && colours[3 * p + c] == palette.entry(expected[p], c);
        }
      }
      std::vector<std::uint64_t> rows(expected.size());
      for (std::uint64_t p = 0; p < expected.size(); p += NearestRows::kMostPerRun) {
        const std::uint64_t left = expected.size() - p;
        search.nearest_run(&triples[3 * p], std::min<std::uint64_t>(NearestRows::kMostPerRun, left),
                           &rows[p]);
      }
      same = same && rows == expected;
    }
    std::uint64_t digest = 0xcbf29ce484222325;  // FNV-1a over the rows
    for (const std::uint64_t row : collected.rows) digest = (digest ^ row) * 0x100000001b3;
    std::printf("%-46s %-14s %s %016llx\n", (name + "/" + layout.name).c_str(),
                mapped ? "mapped" : "refused", same ? "as-reference" : "DIFFERENT",
                static_cast<unsigned long long>(digest));
    failures += same ? 0 : 1;
  }
}

// Values past the largest the search was built for, as memory written
// behind the caller's back can hold: each must still get one of the rows.
void check_beyond_the_range() {
  std::vector<std::uint64_t> palette_words(16 * 3);
  for (std::uint64_t& word : palette_words) word = pick(0, 255);
  const PaletteView palette{reinterpret_cast<const char*>(palette_words.data()), 16, 3, 24, 8};
  NearestRows search(palette, 255, 4096);
  // Pixels inside the range first, so that the search has earned the
  // description of cells that a masked value past the range would land in.
  for (int i = 0; i < 100000; ++i) search.nearest(pick(0, 255), pick(0, 255), pick(0, 255));
  bool nearest = true;
  for (const std::uint64_t value :
       {std::uint64_t{256}, std::uint64_t{256 + 200}, std::uint64_t{1} << 40,
        (std::uint64_t{1} << 40) + 130, std::numeric_limits<std::uint64_t>::max()}) {
    const std::uint64_t pixels[][3] = {{value, 3, value}, {7, value, 9}, {200, 10, value}};
    for (const auto& p : pixels) {
      nearest = nearest && search.nearest(p[0], p[1], p[2]) == first_nearest(palette, p[0], p[1], p[2]);
    }
  }
  std::printf("%-46s %-14s %s\n", "beyond-the-built-range", nearest ? "match" : "MISMATCH",
              nearest ? "nearest-row" : "other-row");
  failures += nearest ? 0 : 1;
}

// The Lab coordinates that dithering in linear light compares, of white,
// black and random linear values: a digest that must not depend on the
// processor.
void print_linear_lab_digest() {
  constexpr std::uint64_t kWhite = palettra::kLinearWhite;
  std::uint64_t digest = 14695981039346656037u;
  bool in_range = true;
  for (int i = 0; i < 20000; ++i) {
    const std::uint64_t r = i == 0 ? 0 : i == 1 ? kWhite : pick(0, kWhite);
    const std::uint64_t g = i < 2 ? r : pick(0, kWhite);
    const std::uint64_t b = i < 2 ? r : pick(0, kWhite);
    for (const std::uint64_t coordinate : palettra::linear_lab(r, g, b)) {
      in_range = in_range && coordinate <= palettra::kLabTop;
      digest = (digest ^ coordinate) * 1099511628211u;
    }
  }
  std::printf("%-46s %-14s %s %016llx\n", "linear-lab-coordinates", "digest",
              in_range ? "in-range" : "OUT-OF-RANGE", static_cast<unsigned long long>(digest));
  failures += in_range ? 0 : 1;
}

}  // namespace

int main() {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  // Exact search through the grid: small values and palettes of every size.
  check("uint8-16-rows", {1, false, 0, 255}, 16, 19, 300, 0, 255);
  check("uint8-256-rows", {1, false, 0, 255}, 256, 13, 41, 0, 255);
  check("uint16-64-rows", {2, false, 0, 65535}, 64, 11, 37, 0, 65535);
  check("int32-below-2^25", {4, true, 0, (1u << 25) - 1}, 40, 9, 29, 0, (1u << 25) - 1);
  // Ties: few distinct palette values, many rows equal or equally far.
  check("ties-uint8", {1, false, 0, 8}, 48, 17, 23, 0, 3);
  check("ties-int16", {2, true, 100, 104}, 33, 7, 260, 99, 105);
  // Ties and repeated rows over a whole byte or 16-bit range, with enough
  // pixels for the grid's finer cells.
  check("ties-uint8-many-pixels", {1, false, 120, 136}, 90, 40, 200, 124, 132);
  check("ties-uint16-many-pixels", {2, false, 65500, 65535}, 70, 30, 260, 65510, 65522);
  // Byte noise against a few byte colours, which runs compare with every
  // colour at once: ties, repeated rows, and wider elements holding bytes.
  check("uint8-4-rows-at-once", {1, false, 0, 255}, 4, 40, 256, 0, 255);
  check("uint8-8-rows-at-once", {1, false, 0, 255}, 8, 40, 256, 0, 255);
  check("ties-uint8-6-rows-at-once", {1, false, 0, 3}, 6, 30, 300, 0, 3);
  check("uint16-bytes-30-rows-at-once", {2, false, 0, 255}, 30, 30, 300, 0, 255);
  // Large values: the double-precision search, rounding above 2^53.
  check("uint64-2^25-to-2^40", {8, false, 1u << 25, std::uint64_t{1} << 40}, 70, 9, 31,
        1u << 25, std::uint64_t{1} << 40);
  check("uint64-above-2^53", {8, false, std::uint64_t{1} << 53, kMax}, 57, 8, 27,
        std::uint64_t{1} << 53, kMax);
  constexpr std::uint64_t k2To60 = std::uint64_t{1} << 60;
  check("uint64-near-2^60", {8, false, k2To60 - 4096, k2To60 + 4096}, 21, 6, 300, k2To60 - 8192,
        k2To60 + 8192);
  check("uint64-whole-range-5-rows", {8, false, 0, kMax}, 5, 5, 33, 0, kMax);
  // Negative values: no row is nearest, the image is refused.
  check("int64-with-negatives", {8, true, kMax - 3, kMax}, 6, 3, 4, 0, 9);
  check("int8-with-negatives", {1, true, 0, 255}, 6, 3, 5, 0, 127);
  // Linear-light values, which dithering searches with white at 2^20.
  check("uint32-linear-light-216-rows", {4, false, 0, 1u << 20}, 216, 9, 41, 0, 1u << 20);
  check_beyond_the_range();
  print_linear_lab_digest();
  return failures == 0 ? 0 : 1;
}
