// Chooses the palette row of a dithered value: the nearest by the values
// themselves, or, for linear-light values matched perceptually, the nearest
// by their Lab coordinates (see linear_lab.hpp).
#pragma once

#include <cstdint>
#include <vector>

#include "mapping/nearest_rows.hpp"
#include "mapping/palette_view.hpp"

namespace palettra {

enum class Matching { kValues, kLinearLab };

class RowChooser {
 public:
  // The palette is as for NearestRows, its entries at most `top`; for
  // kLinearLab, top is kLinearWhite. Values asked about lie in
  // [-margin, top + margin], margin <= top; kLinearLab compares them
  // clamped to [0, top], where Lab coordinates exist.
  RowChooser(const PaletteView& palette, std::uint64_t top, Matching matching,
             std::uint64_t margin, std::uint64_t expected_pixels);

  std::uint64_t nearest(const std::int64_t (&value)[3]);

  // The rows of `count` values, at most NearestRows::kMostPerRun, given as
  // triples in [0, top]; the values are overwritten. Needs margin 0.
  void nearest_run(std::uint64_t* values, std::size_t count, std::uint64_t* rows);

 private:
  Matching matching_;
  std::uint64_t top_;
  std::uint64_t margin_;
  // The palette's coordinates, which the search reads in place.
  std::vector<std::uint64_t> coordinates_;
  NearestRows search_;
};

}  // namespace palettra
