// Many byte pixels against a short list of byte colours at once, a pixel in
// each lane of a vector. A colour's squared distance to a pixel, less the
// pixel's own sum of squares (the same for every colour), is the integer
// red² + green² + blue² − 2·(pixel · colour), exact in 32 bits; with the
// colour's place in the list put in the low bits below it, the smallest of
// these keys names the first nearest colour, ties going to the earlier one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace palettra {

// Keys leave the low 12 bits to the place: the most negative key,
// −2·3·255² · 2^12, still fits in 32 bits.
inline constexpr std::size_t kMostLaneColours = std::size_t{1} << 12;

// A colour of byte values, prepared for its place in a list.
struct LaneColour {
  LaneColour(std::uint32_t red, std::uint32_t green, std::uint32_t blue, std::size_t place) noexcept;
  // −2·red and −2·green, in the low and high 16 bits, to meet a pixel's
  // red and green packed the same way; and −2·blue.
  std::int32_t red_green;
  std::int32_t blue;
  std::int32_t red;
  std::int32_t green;
  // (red² + green² + blue²) · 2^12 + place.
  std::int32_t base;
};

// A byte pixel's red and green packed as LaneColour::red_green expects them.
inline std::int32_t lane_red_green(std::uint32_t red, std::uint32_t green) noexcept {
  return static_cast<std::int32_t>(red | green << 16);
}

enum class LaneKernel { kPortable, kAvx2, kAvx512 };

// The kernels this processor runs, the fastest last.
std::span<const LaneKernel> lane_kernels() noexcept;

// What comparing a pixel with each of `colours` colours through `kernel`
// costs beyond what a grid over colour space spends on every pixel (its
// look-up), in hundredths of what the grid spends on a pixel it must
// search for (its cell holding several candidates): zero where comparing
// with every colour costs no more than the look-up. Measured on x86-64
// with photos and flat images.
std::size_t lane_cost(LaneKernel kernel, std::size_t colours) noexcept;

// Unpacks `count` pixels of three bytes each, one after another, into
// lane_red_green() and blue, as nearest_in_lanes() takes them.
void unpack_byte_pixels(LaneKernel kernel, const std::uint8_t* pixels, std::size_t count,
                        std::int32_t* red_green, std::int32_t* blue) noexcept;

// For each of `count` pixels, given as lane_red_green() and blue, the place
// of its first nearest colour in `colours` (1 to kMostLaneColours of them),
// through the fastest kernel or through `kernel`, which must be one of
// lane_kernels().
void nearest_in_lanes(std::span<const LaneColour> colours, const std::int32_t* red_green,
                      const std::int32_t* blue, std::size_t count, std::uint16_t* places) noexcept;
void nearest_in_lanes(LaneKernel kernel, std::span<const LaneColour> colours,
                      const std::int32_t* red_green, const std::int32_t* blue, std::size_t count,
                      std::uint16_t* places) noexcept;

}  // namespace palettra
