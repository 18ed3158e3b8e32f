#include "mapping/byte_lanes.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace palettra {
namespace {

constexpr unsigned kPlaceBits = 12;
static_assert(kMostLaneColours == std::size_t{1} << kPlaceBits);
constexpr std::int32_t kPlaceMask = (std::int32_t{1} << kPlaceBits) - 1;
constexpr std::int64_t kMostSquares = 3 * 255 * 255;
static_assert(-2 * kMostSquares * (std::int64_t{1} << kPlaceBits) >=
              std::numeric_limits<std::int32_t>::min());
static_assert(kMostSquares * (std::int64_t{1} << kPlaceBits) + kPlaceMask <
              std::numeric_limits<std::int32_t>::max());
constexpr std::int32_t kNoKey = std::numeric_limits<std::int32_t>::max();

// A 16-bit two's complement value, as madd reads it from half a lane.
std::uint32_t sixteen_bits(std::int32_t value) noexcept { return static_cast<std::uint32_t>(value) & 0xffff; }

void take_places(const std::int32_t* keys, std::size_t count, std::uint16_t* places) noexcept {
  for (std::size_t j = 0; j < count; ++j) {
    places[j] = static_cast<std::uint16_t>(keys[j] & kPlaceMask);
  }
}

// Whole steps of kStep pixels, then the rest padded to one more step.
template <std::size_t kStep, class Step>
void in_steps(const Step& step, const std::int32_t* red_green, const std::int32_t* blue,
              std::size_t count, std::uint16_t* places) noexcept {
  std::size_t j = 0;
  for (; j + kStep <= count; j += kStep) step(red_green + j, blue + j, places + j);
  if (j == count) return;
  std::int32_t red_green_rest[kStep] = {};
  std::int32_t blue_rest[kStep] = {};
  std::uint16_t places_rest[kStep];
  std::copy(red_green + j, red_green + count, red_green_rest);
  std::copy(blue + j, blue + count, blue_rest);
  step(red_green_rest, blue_rest, places_rest);
  std::copy_n(places_rest, count - j, places + j);
}

// Pixels `first` to `count` − 1, one at a time.
void unpack_from(std::size_t first, const std::uint8_t* pixels, std::size_t count,
                 std::int32_t* red_green, std::int32_t* blue) noexcept {
  for (std::size_t j = first; j < count; ++j) {
    red_green[j] = lane_red_green(pixels[3 * j], pixels[3 * j + 1]);
    blue[j] = pixels[3 * j + 2];
  }
}

// GCC's generic vectors, for processors without a kernel of their own.
using Lanes = std::int32_t __attribute__((vector_size(8 * sizeof(std::int32_t))));
constexpr std::size_t kPortableStep = sizeof(Lanes) / sizeof(std::int32_t);

void portable_step(std::span<const LaneColour> colours, const std::int32_t* red_green,
                   const std::int32_t* blue, std::uint16_t* places) noexcept {
  Lanes packed;
  Lanes blues;
  std::memcpy(&packed, red_green, sizeof packed);
  std::memcpy(&blues, blue, sizeof blues);
  const Lanes reds = packed & 0xffff;
  const Lanes greens = packed >> 16;
  Lanes best = kNoKey - Lanes{};
  for (const LaneColour& colour : colours) {
    const Lanes product = reds * colour.red + greens * colour.green + blues * colour.blue;
    const Lanes key = product * (std::int32_t{1} << kPlaceBits) + colour.base;
    best = key < best ? key : best;
  }
  std::int32_t keys[kPortableStep];
  std::memcpy(keys, &best, sizeof keys);
  take_places(keys, kPortableStep, places);
}

#if defined(__x86_64__)
// Two vectors a step, so that each colour's broadcasts serve twice as many
// pixels. madd multiplies 16-bit halves pairwise and adds each pair: red
// and green at once, and blue beside a zero. The rest is plain vector
// arithmetic, which the compiler turns into the same instructions.
template <class Vector, class Madd>
inline void two_vector_step(std::span<const LaneColour> colours, const std::int32_t* red_green,
                            const std::int32_t* blue, std::uint16_t* places,
                            const Madd& madd) noexcept {
  constexpr std::size_t kLanes = sizeof(Vector) / sizeof(std::int32_t);
  Vector rg[2];
  Vector b[2];
  std::memcpy(rg, red_green, sizeof rg);
  std::memcpy(b, blue, sizeof b);
  Vector best[2] = {kNoKey - Vector{}, kNoKey - Vector{}};
  for (const LaneColour& colour : colours) {
    Vector colour_rg;
    Vector colour_b;
    madd.broadcast(colour.red_green, colour_rg);
    madd.broadcast(colour.blue, colour_b);
    for (std::size_t v = 0; v < 2; ++v) {
      Vector red_green_part;
      Vector blue_part;
      madd(rg[v], colour_rg, red_green_part);
      madd(b[v], colour_b, blue_part);
      const Vector product = red_green_part + blue_part;
      const Vector key = product * (std::int32_t{1} << kPlaceBits) + colour.base;
      best[v] = key < best[v] ? key : best[v];
    }
  }
  std::int32_t keys[2 * kLanes];
  std::memcpy(keys, best, sizeof keys);
  take_places(keys, 2 * kLanes, places);
}

using Lanes8 = std::int32_t __attribute__((vector_size(32)));
using Lanes16 = std::int32_t __attribute__((vector_size(64)));

struct Avx2Madd {
  [[gnu::target("avx2")]] void broadcast(std::int32_t value, Lanes8& lanes) const noexcept {
    lanes = reinterpret_cast<Lanes8>(_mm256_set1_epi32(value));
  }
  // By reference: a vector passed by value would change the calling
  // convention between code built with and without AVX.
  [[gnu::target("avx2")]] void operator()(const Lanes8& a, const Lanes8& b, Lanes8& sums) const noexcept {
    sums = reinterpret_cast<Lanes8>(
        _mm256_madd_epi16(reinterpret_cast<__m256i>(a), reinterpret_cast<__m256i>(b)));
  }
};

struct Avx512Madd {
  [[gnu::target("avx512f,avx512bw")]] void broadcast(std::int32_t value, Lanes16& lanes) const noexcept {
    lanes = reinterpret_cast<Lanes16>(_mm512_set1_epi32(value));
  }
  [[gnu::target("avx512f,avx512bw")]] void operator()(const Lanes16& a, const Lanes16& b,
                                                     Lanes16& sums) const noexcept {
    sums = reinterpret_cast<Lanes16>(
        _mm512_madd_epi16(reinterpret_cast<__m512i>(a), reinterpret_cast<__m512i>(b)));
  }
};

// Flattened, so that the shared step and the Madd calls are compiled into
// each for its own instruction set.
[[gnu::target("avx2"), gnu::flatten]] void avx2_step(std::span<const LaneColour> colours,
                                                     const std::int32_t* red_green,
                                                     const std::int32_t* blue,
                                                     std::uint16_t* places) noexcept {
  two_vector_step<Lanes8>(colours, red_green, blue, places, Avx2Madd{});
}

[[gnu::target("avx512f,avx512bw"), gnu::flatten]] void avx512_step(
    std::span<const LaneColour> colours, const std::int32_t* red_green, const std::int32_t* blue,
    std::uint16_t* places) noexcept {
  two_vector_step<Lanes16>(colours, red_green, blue, places, Avx512Madd{});
}

// Eight pixels a step from 32 bytes read at once, of which 24 are theirs:
// the two halves of the vector take bytes 0 to 15 and 12 to 27, and a
// shuffle within each half spreads four pixels' bytes over four lanes.
[[gnu::target("avx2")]] void avx2_unpack(const std::uint8_t* pixels, std::size_t count,
                                        std::int32_t* red_green, std::int32_t* blue) noexcept {
  constexpr char kZero = static_cast<char>(0x80);
  const __m256i halves = _mm256_setr_epi32(0, 1, 2, 3, 3, 4, 5, 6);
  const __m256i to_red_green =
      _mm256_setr_epi8(0, kZero, 1, kZero, 3, kZero, 4, kZero, 6, kZero, 7, kZero, 9, kZero, 10, kZero,
                       0, kZero, 1, kZero, 3, kZero, 4, kZero, 6, kZero, 7, kZero, 9, kZero, 10, kZero);
  const __m256i to_blue =
      _mm256_setr_epi8(2, kZero, kZero, kZero, 5, kZero, kZero, kZero, 8, kZero, kZero, kZero, 11, kZero,
                       kZero, kZero, 2, kZero, kZero, kZero, 5, kZero, kZero, kZero, 8, kZero, kZero,
                       kZero, 11, kZero, kZero, kZero);
  std::size_t j = 0;
  // Each read ends 8 bytes past its pixels: it stays within the buffer.
  for (; 3 * j + 32 <= 3 * count; j += 8) {
    const __m256i bytes = _mm256_permutevar8x32_epi32(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pixels + 3 * j)), halves);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(red_green + j),
                        _mm256_shuffle_epi8(bytes, to_red_green));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(blue + j),
                        _mm256_shuffle_epi8(bytes, to_blue));
  }
  unpack_from(j, pixels, count, red_green, blue);
}
#endif

}  // namespace

LaneColour::LaneColour(std::uint32_t r, std::uint32_t g, std::uint32_t b, std::size_t place) noexcept
    : red_green(static_cast<std::int32_t>(sixteen_bits(-2 * static_cast<std::int32_t>(r)) |
                                          sixteen_bits(-2 * static_cast<std::int32_t>(g)) << 16)),
      blue(-2 * static_cast<std::int32_t>(b)),
      red(-2 * static_cast<std::int32_t>(r)),
      green(-2 * static_cast<std::int32_t>(g)),
      base(static_cast<std::int32_t>(((r * r + g * g + b * b) << kPlaceBits) | place)) {}

std::span<const LaneKernel> lane_kernels() noexcept {
  static constexpr LaneKernel kAll[] = {LaneKernel::kPortable, LaneKernel::kAvx2, LaneKernel::kAvx512};
  std::size_t count = 1;
#if defined(__x86_64__)
  if (__builtin_cpu_supports("avx2")) count = 2;
  if (count == 2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw")) count = 3;
#endif
  return {kAll, count};
}

std::size_t lane_cost(LaneKernel kernel, std::size_t colours) noexcept {
  // Hundredths, per colour and once for a pixel, less what the grid costs
  // every pixel, searched or not.
  const auto beyond_the_grid = [colours](std::size_t per_colour, std::size_t lookup) {
    const std::size_t cost = per_colour * colours;
    return cost > lookup ? (cost - lookup) / 100 : 0;
  };
  switch (kernel) {
    case LaneKernel::kAvx512:
      return beyond_the_grid(54, 800);
    case LaneKernel::kAvx2:
      return beyond_the_grid(92, 700);
    default:
      return beyond_the_grid(500, 700);
  }
}

void unpack_byte_pixels([[maybe_unused]] LaneKernel kernel, const std::uint8_t* pixels, std::size_t count,
                        std::int32_t* red_green, std::int32_t* blue) noexcept {
#if defined(__x86_64__)
  if (kernel != LaneKernel::kPortable) {
    avx2_unpack(pixels, count, red_green, blue);
    return;
  }
#endif
  unpack_from(0, pixels, count, red_green, blue);
}

void nearest_in_lanes(std::span<const LaneColour> colours, const std::int32_t* red_green,
                      const std::int32_t* blue, std::size_t count, std::uint16_t* places) noexcept {
  nearest_in_lanes(lane_kernels().back(), colours, red_green, blue, count, places);
}

void nearest_in_lanes(LaneKernel kernel, std::span<const LaneColour> colours,
                      const std::int32_t* red_green, const std::int32_t* blue, std::size_t count,
                      std::uint16_t* places) noexcept {
  const auto with = [colours](auto step) {
    return [colours, step](const std::int32_t* rg, const std::int32_t* b, std::uint16_t* out) {
      step(colours, rg, b, out);
    };
  };
  switch (kernel) {
#if defined(__x86_64__)
    case LaneKernel::kAvx512:
      return in_steps<32>(with(avx512_step), red_green, blue, count, places);
    case LaneKernel::kAvx2:
      return in_steps<16>(with(avx2_step), red_green, blue, count, places);
#endif
    default:
      return in_steps<kPortableStep>(with(portable_step), red_green, blue, count, places);
  }
}

}  // namespace palettra
