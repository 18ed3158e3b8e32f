#include "mapping/direct_mapping.hpp"

#include "mapping/nearest_rows.hpp"

namespace palettra {

bool map_direct(const DirectImage& image, const PaletteView& palette, std::uint64_t* out) {
  if (image.height == 0 || image.width == 0) return true;
  // Item access panics after the first pixel's reads, or reports that
  // pixel's conversion error first: let it.
  if (palette.rows != 0 && palette.columns < 3) return false;
  // The result is zero-filled, which is what an empty palette gives, but a
  // negative value must still fail as item access fails.
  if (palette.rows == 0) return !has_negative_value(image);
  return nearest_colours_of_image(image, palette, out);
}

}  // namespace palettra
