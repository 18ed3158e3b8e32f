// Keeps a search's total work within a fixed share above what comparing
// every pixel with every row would cost, whatever the image and palette.
#pragma once

#include <cstddef>

namespace palettra {

// Rough processor cycles of each step, measured on x86-64; only their
// ratios matter.
namespace cost {
inline constexpr double kScanPerRow = 0.5;   // the plain scan, per row
inline constexpr double kScanFixed = 12;     // the plain scan, per pixel
inline constexpr double kLookup = 3;         // a pixel's cell entry, in a run
inline constexpr double kCandidate = 3;      // a row of a cell's candidate list
inline constexpr double kLaneColour = 0.5;   // a colour against a pixel, many pixels at once
inline constexpr double kFirstTest = 10;     // a row in a cell's bounding test
inline constexpr double kPairTest = 15;      // a pair in a cell's half-space test
inline constexpr double kCopy = 20;          // a palette row copied for the search
}  // namespace cost

// Each pixel earns what a plain scan of it would cost, plus a tenth, plus
// the look-up of its cell; every step is paid from the balance, and anything
// built to save work later (a cell's description) is built only when the
// balance covers it. The total work therefore never exceeds the plain
// scan's by more than a tenth and the look-ups, and work that pays off
// refills the balance for the next investment.
class WorkAccount {
 public:
  // The palette's copy, of `copied` rows and `rows` distinct colours, is
  // paid for first.
  WorkAccount(std::size_t copied, std::size_t rows) noexcept
      : plain_scan_(cost::kScanFixed + cost::kScanPerRow * static_cast<double>(rows)),
        balance_(-cost::kCopy * static_cast<double>(copied)) {}

  double plain_scan() const noexcept { return plain_scan_; }
  void earn(std::size_t pixels) noexcept {
    balance_ += (kAllowance * plain_scan_ + cost::kLookup) * static_cast<double>(pixels);
  }
  void spend(double work) noexcept { balance_ -= work; }
  bool affords(double work) const noexcept { return balance_ >= work; }

 private:
  static constexpr double kAllowance = 1.1;
  double plain_scan_;
  double balance_;
};

}  // namespace palettra
