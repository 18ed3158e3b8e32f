// How far the rows of a wavefront have got, for the rows that wait on them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>
#include <vector>

namespace palettra {

// One counter per lane, lane k holding rows k, k + lanes, k + 2·lanes, … in
// that order, each counter written by the one thread that runs its rows.
// A counter holds row · (width + 1) + the columns the row has finished, so
// it only ever grows, and "row r has finished c columns" is one comparison
// whichever later row the lane is on by then.
//
// Happens-before: a row publishes with a release store once the columns it
// counts are finished (their errors added into the rows below, their own
// row's cells read), and the row after it reads with an acquire load before
// it touches what those columns wrote. Seeing a value synchronizes with the
// store that wrote it, and so with everything the publishing row did before;
// and as that row itself waited the same way for the row before it, the
// chain carries every earlier row's writes along. `abandoned` only stops
// waiting: what the lanes computed is then thrown away, and the failure is
// handed over by the thread's join.
class RowProgress {
 public:
  // Allocates: to be built before any lane starts.
  RowProgress(std::size_t lanes, std::uint64_t width)
      : counters_(lanes), stride_(width + 1), lanes_(lanes) {}

  // Row `row` has finished its first `columns` columns.
  void publish(std::uint64_t row, std::uint64_t columns) noexcept {
    counter(row).store(row * stride_ + columns, std::memory_order_release);
  }

  // Waits until row `row` has finished its first `columns` columns; false
  // when the wavefront was abandoned first. `seen`, the caller's last
  // reading of the row's counter, spares a load while it already covers them.
  bool wait(std::uint64_t row, std::uint64_t columns, std::uint64_t& seen) const noexcept {
    const std::uint64_t needed = row * stride_ + columns;
    return seen >= needed || wait_for(counter(row), needed, seen);
  }

  // Lets every waiting lane give up.
  void abandon() noexcept { abandoned_.store(true, std::memory_order_relaxed); }

 private:
  // A line of its own for each counter: a lane's stores would otherwise
  // take the line away from the lanes polling their neighbours'.
  struct alignas(64) Counter {
    std::atomic<std::uint64_t> value{0};
  };

  std::atomic<std::uint64_t>& counter(std::uint64_t row) noexcept {
    return counters_[static_cast<std::size_t>(row % lanes_)].value;
  }
  const std::atomic<std::uint64_t>& counter(std::uint64_t row) const noexcept {
    return counters_[static_cast<std::size_t>(row % lanes_)].value;
  }

  // A lane that catches up with the row before it spins a little, as the
  // wait is usually a few columns' work; then, in case that row's thread has
  // no core (more lanes than cores, or a busy machine), yields its own.
  bool wait_for(const std::atomic<std::uint64_t>& value, std::uint64_t needed,
                std::uint64_t& seen) const noexcept {
    constexpr int kSpins = 64;
    for (int round = 0;; ++round) {
      seen = value.load(std::memory_order_acquire);
      if (seen >= needed) return true;
      if (abandoned_.load(std::memory_order_relaxed)) return false;
      if (round >= kSpins) std::this_thread::yield();
    }
  }

  std::vector<Counter> counters_;
  std::uint64_t stride_;
  std::uint64_t lanes_;
  std::atomic<bool> abandoned_{false};
};

}  // namespace palettra
