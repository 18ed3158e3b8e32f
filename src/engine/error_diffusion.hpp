// Error diffusion: pixels in scan order, each one's error spread over the
// neighbours not yet visited, by a kernel of integer weights.
#pragma once

#include <cstdint>
#include <string_view>

#include "engine/buffer_view.hpp"
#include "engine/dither_input.hpp"
#include "engine/row_chooser.hpp"
#include "mapping/direct_image.hpp"
#include "mapping/palette_view.hpp"

namespace palettra {

// Whether `method` names a kernel.
bool is_diffusion_method(std::string_view method);

// How to diffuse: the image is unsigned, every value as `reader` gives it
// and every palette entry (n >= 1 rows, m >= 3 columns) at most its `top`
// <= kLargestTop, `strength` in [0, 4096]; rows are chosen by `matching`
// (see RowChooser). Adjusted values are clamped to [-margin, top + margin],
// margin <= top. Up to `threads` >= 1 threads share the rows, the calling
// thread among them, with the same result for every count; serpentine scans
// run on the calling thread alone.
struct Diffusion {
  bool serpentine;
  std::int64_t strength;
  ValueReader reader;
  Matching matching;
  std::uint64_t margin;
  std::uint64_t threads;
};

// Fills `out` with the rows chosen for every pixel; `method` is a kernel's name.
void diffuse(const DirectImage& image, const PaletteView& palette, const IndexMap& out,
             std::string_view method, const Diffusion& how);

}  // namespace palettra
