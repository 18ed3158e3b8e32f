// The first nearest palette row of pixels read straight from memory: the
// squared distance in double precision, each operation rounded on its own,
// the first minimum winning, exactly as the item-access path chooses. None
// of it runs Python code or needs the interpreter lock.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "mapping/direct_image.hpp"
#include "mapping/palette_view.hpp"

namespace palettra {

class NearestRows {
 public:
  // The palette must have at least one row and at least three columns, and
  // its entries must not change while the search lives. The search is
  // built for pixel values up to `largest_value`; a value past it, as in
  // memory written behind the caller's back, is compared with every colour
  // and still gets its nearest row. `expected_pixels`, how many pixels will
  // be asked about, decides what is worth building.
  NearestRows(const PaletteView& palette, std::uint64_t largest_value,
              std::uint64_t expected_pixels);
  NearestRows(NearestRows&&) noexcept;
  NearestRows& operator=(NearestRows&&) noexcept;
  ~NearestRows();

  std::uint64_t nearest(std::uint64_t s0, std::uint64_t s1, std::uint64_t s2);

  // The rows of `count` pixels, at most kMostPerRun, given as triples of
  // values one after another: faster than one at a time.
  static constexpr std::size_t kMostPerRun = 256;
  void nearest_run(const std::uint64_t* pixels, std::size_t count, std::uint64_t* rows);

  class Search;

 private:
  std::unique_ptr<Search> search_;
};

// Receives the nearest rows of an image's pixels, a run at a time, in
// row-major order.
class RowSink {
 public:
  virtual void take(std::uint64_t first_pixel, std::span<const std::uint64_t> rows) = 0;

 protected:
  ~RowSink() = default;
};

// Gives false, before anything reaches the sink, when the image holds a
// negative value, for which no row is nearest. The palette is as above.
bool nearest_rows_of_image(const DirectImage& image, const PaletteView& palette, RowSink& sink);

// The same, each pixel's row's first three entries written to `out`, an
// (h, w, 3) row-major result.
bool nearest_colours_of_image(const DirectImage& image, const PaletteView& palette,
                              std::uint64_t* out);

// True when a signed image holds a value below 0 in channels 0 to 2.
bool has_negative_value(const DirectImage& image);

}  // namespace palettra
