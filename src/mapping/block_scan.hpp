// The plain comparison of pixels with every palette row, a block of rows at
// a time: memory stays bounded whatever the palette's size, and each block,
// copied once per run of pixels, is compared four rows at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mapping/palette_view.hpp"

namespace palettra {

class BlockScan {
 public:
  static constexpr std::size_t kBlockRows = 8192;
  static constexpr std::size_t kMostPerRun = 256;

  // The palette must have at least one row and at least three columns.
  explicit BlockScan(const PaletteView& palette);

  // The first nearest rows of `count` pixels (at most kMostPerRun), given
  // as triples of values one after another.
  void nearest_run(const std::uint64_t* pixels, std::size_t count, std::uint64_t* rows);

 private:
  PaletteView palette_;
  std::vector<double> block_;
};

}  // namespace palettra
