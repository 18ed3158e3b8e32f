// Integer CIELAB coordinates of linear-light values, in integers only, so
// that dithering in linear light can choose colours as the eye compares
// them and still give the same bits everywhere. docs/dithering.md writes
// the rule down; the coordinates are on the same scale as the Lab metric's.
#pragma once

#include <array>
#include <cstdint>

namespace palettra {

// Linear values lie in [0, kLinearWhite].
inline constexpr std::uint64_t kLinearWhite = std::uint64_t{1} << 20;
// Lab coordinates lie in [0, kLabTop].
inline constexpr std::uint64_t kLabTop = (std::uint64_t{1} << 21) - 1;

namespace linear_lab_detail {

// The sRGB (D65) matrix with each row divided by its sum, so that white
// gives X = Y = Z = 1, in units of 1/2^16.
inline constexpr std::int64_t kMatrix[3][3] = {
    {28439, 24656, 12441},
    {13938, 46868, 4730},
    {1164, 7174, 57198},
};

// floor(cbrt(n) + 1/2) for n <= 2^60.
constexpr std::int64_t rounded_cube_root(std::uint64_t n) {
  std::uint64_t root = 0;
  for (int bit = 20; bit >= 0; --bit) {
    const std::uint64_t candidate = root | (std::uint64_t{1} << bit);
    if (candidate * candidate * candidate <= n) root = candidate;
  }
  const std::uint64_t above = 2 * root + 1;
  return static_cast<std::int64_t>(8 * n >= above * above * above ? root + 1 : root);
}

// f(t) in units of 1/2^20 for t = x / 2^36, x <= 2^36.
constexpr std::int64_t lab_f(std::int64_t x) {
  constexpr std::int64_t kUnit = std::int64_t{1} << 36;
  if (24389 * x > 216 * kUnit) {
    return rounded_cube_root(static_cast<std::uint64_t>(x) << 24);
  }
  // (kappa t + 16) / 116 with kappa = 24389 / 27, halves upwards.
  constexpr std::int64_t kDivisor = 3132 * (std::int64_t{1} << 16);
  return (24389 * x + 432 * kUnit + kDivisor / 2) / kDivisor;
}

// floor(v / 128 + 1/2); an arithmetic shift floors negative values too.
constexpr std::int64_t scaled(std::int64_t v) { return (v + 64) >> 7; }

}  // namespace linear_lab_detail

// The coordinates (L', a', b') of a linear value, each channel in
// [0, kLinearWhite].
constexpr std::array<std::uint64_t, 3> linear_lab(std::uint64_t r, std::uint64_t g,
                                                   std::uint64_t b) {
  using namespace linear_lab_detail;
  std::int64_t f[3];
  for (int i = 0; i < 3; ++i) {
    f[i] = lab_f(kMatrix[i][0] * static_cast<std::int64_t>(r) +
                 kMatrix[i][1] * static_cast<std::int64_t>(g) +
                 kMatrix[i][2] * static_cast<std::int64_t>(b));
  }
  constexpr std::int64_t kOffset = std::int64_t{1} << 20;
  const std::int64_t lightness = scaled(116 * f[1] - 16 * kOffset);
  return {static_cast<std::uint64_t>(lightness < 0 ? 0 : lightness),
          static_cast<std::uint64_t>(scaled(500 * (f[0] - f[1])) + kOffset),
          static_cast<std::uint64_t>(scaled(200 * (f[1] - f[2])) + kOffset)};
}

}  // namespace palettra
