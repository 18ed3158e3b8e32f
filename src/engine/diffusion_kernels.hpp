// The error diffusion kernels: where each pixel's error goes, and how far
// ahead a row must keep of the next for the two to run at once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace palettra {

struct Tap {
  int dy;
  int dx;
  std::int64_t weight;
};

// A kernel's taps are relative to the pixel, in a left-to-right scan.
struct Kernel {
  std::int64_t denominator;
  std::size_t count;
  std::array<Tap, 12> taps;

  constexpr int rows() const {
    int rows = 1;
    for (std::size_t t = 0; t < count; ++t) rows = taps[t].dy + 1 > rows ? taps[t].dy + 1 : rows;
    return rows;
  }

  // The weight of the tap `dx` columns ahead in the same row, or 0.
  constexpr std::int64_t ahead_weight(int dx) const {
    for (std::size_t t = 0; t < count; ++t) {
      if (taps[t].dy == 0 && taps[t].dx == dx) return taps[t].weight;
    }
    return 0;
  }

  // The smallest lead L such that row y may work on column j once row y - 1
  // has finished its columns up to j + L. Row y - a has then finished up to
  // j + a(L + 1) - 1 at least, each row waiting for the one before it, and
  // is at work on a column at or past j + a(L + 1). Two things must hold:
  // - every error that reaches (y, j) is in: the tap (a, dx) of row y - a
  //   brings that of its column j - dx, finished when j - dx < j + a(L + 1);
  // - no cell is written by two rows at once: row y's tap (b, dx) and row
  //   y - a's tap (a + b, dx') both reach row y + b, at columns j + dx and
  //   at or past j + a(L + 1) + dx', apart when a(L + 1) > dx - dx'.
  // Rows only ever read their own row and write rows below, so nothing else
  // is shared; within a row, the taps of dy = 0 stay in registers.
  constexpr int lead() const {
    int lead = 0;
    const auto needs = [&](int a, int gap) {
      while (a * (lead + 1) <= gap) ++lead;
    };
    for (std::size_t p = 0; p < count; ++p) {
      if (taps[p].dy == 0) continue;
      needs(taps[p].dy, -taps[p].dx);
      for (std::size_t q = 0; q < count; ++q) {
        if (taps[q].dy == 0 || taps[q].dy >= taps[p].dy) continue;
        needs(taps[p].dy - taps[q].dy, taps[q].dx - taps[p].dx);
      }
    }
    return lead;
  }
};

inline constexpr Kernel kFloydSteinberg{16, 4, {{{0, 1, 7}, {1, -1, 3}, {1, 0, 5}, {1, 1, 1}}}};
inline constexpr Kernel kFalseFloydSteinberg{8, 3, {{{0, 1, 3}, {1, 0, 3}, {1, 1, 2}}}};
inline constexpr Kernel kJarvisJudiceNinke{
    48, 12, {{{0, 1, 7}, {0, 2, 5},
              {1, -2, 3}, {1, -1, 5}, {1, 0, 7}, {1, 1, 5}, {1, 2, 3},
              {2, -2, 1}, {2, -1, 3}, {2, 0, 5}, {2, 1, 3}, {2, 2, 1}}}};
inline constexpr Kernel kStucki{
    42, 12, {{{0, 1, 8}, {0, 2, 4},
              {1, -2, 2}, {1, -1, 4}, {1, 0, 8}, {1, 1, 4}, {1, 2, 2},
              {2, -2, 1}, {2, -1, 2}, {2, 0, 4}, {2, 1, 2}, {2, 2, 1}}}};
inline constexpr Kernel kBurkes{
    32, 7, {{{0, 1, 8}, {0, 2, 4}, {1, -2, 2}, {1, -1, 4}, {1, 0, 8}, {1, 1, 4}, {1, 2, 2}}}};
inline constexpr Kernel kSierra{
    32, 10, {{{0, 1, 5}, {0, 2, 3},
              {1, -2, 2}, {1, -1, 4}, {1, 0, 5}, {1, 1, 4}, {1, 2, 2},
              {2, -1, 2}, {2, 0, 3}, {2, 1, 2}}}};
inline constexpr Kernel kSierraTwoRow{
    16, 7, {{{0, 1, 4}, {0, 2, 3}, {1, -2, 1}, {1, -1, 2}, {1, 0, 3}, {1, 1, 2}, {1, 2, 1}}}};
inline constexpr Kernel kSierraLite{4, 3, {{{0, 1, 2}, {1, -1, 1}, {1, 0, 1}}}};
inline constexpr Kernel kAtkinson{
    8, 6, {{{0, 1, 1}, {0, 2, 1}, {1, -1, 1}, {1, 0, 1}, {1, 1, 1}, {2, 0, 1}}}};

// The leads worked out by hand from the taps.
static_assert(kFloydSteinberg.lead() == 1 && kFalseFloydSteinberg.lead() == 0);
static_assert(kBurkes.lead() == 2 && kSierraTwoRow.lead() == 2 && kSierraLite.lead() == 1);
static_assert(kJarvisJudiceNinke.lead() == 4 && kStucki.lead() == 4 && kSierra.lead() == 3);
static_assert(kAtkinson.lead() == 1);

}  // namespace palettra
