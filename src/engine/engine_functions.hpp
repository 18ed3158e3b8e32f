// The functions of palettra_tools._engine, which palettra_tools wraps.
#pragma once

#include <array>

#include "module/method_description.hpp"

namespace palettra {

// nearest_indices(img, palette, out), diffuse(img, palette, out, method,
// serpentine, strength, top) and order(img, palette, out, offsets,
// origin_row, origin_column, top): each fills the index map `out` and
// returns None.
extern const std::array<MethodDescription, 3> kEngineMethods;

}  // namespace palettra
