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

// Fills `out` with the rows chosen for every pixel. The image is unsigned,
// every value as `reader` gives it and every palette entry (n >= 1 rows,
// m >= 3 columns) at most its `top` <= kLargestTop, `strength` in [0, 4096],
// `method` a kernel's name; rows are chosen by `matching` (see RowChooser).
// Adjusted values are clamped to [-margin, top + margin], margin <= top.
void diffuse(const DirectImage& image, const PaletteView& palette, const IndexMap& out,
             std::string_view method, bool serpentine, std::int64_t strength,
             const ValueReader& reader, Matching matching, std::uint64_t margin);

}  // namespace palettra
