#include "mapping/direct_mapping.hpp"

#include "mapping/nearest_rows.hpp"

namespace palettra {
namespace {

class ColourWriter final : public RowSink {
 public:
  ColourWriter(const PaletteView& palette, std::uint64_t* out) : palette_(palette), out_(out) {}

  void take(std::uint64_t first_pixel, std::span<const std::uint64_t> rows) override {
    std::uint64_t* out = out_ + 3 * first_pixel;
    for (const std::uint64_t row : rows) {
      out[0] = palette_.entry(row, 0);
      out[1] = palette_.entry(row, 1);
      out[2] = palette_.entry(row, 2);
      out += 3;
    }
  }

 private:
  const PaletteView& palette_;
  std::uint64_t* out_;
};

}  // namespace

bool map_direct(const DirectImage& image, const PaletteView& palette, std::uint64_t* out) {
  if (image.height == 0 || image.width == 0) return true;
  // Item access panics after the first pixel's reads, or reports that
  // pixel's conversion error first: let it.
  if (palette.rows != 0 && palette.columns < 3) return false;
  // The result is zero-filled, which is what an empty palette gives, but a
  // negative value must still fail as item access fails.
  ColourWriter writer(palette, out);
  if (palette.rows == 0) return !has_negative_value(image);
  return nearest_rows_of_image(image, palette, writer);
}

}  // namespace palettra
