// Threads started for the length of one call, all joined before it returns.
#pragma once

#include <cstddef>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace palettra {

class LaneThreads {
 public:
  // Room for `most` threads, taken now: starting one then never allocates
  // for the list.
  explicit LaneThreads(std::size_t most) { threads_.reserve(most); }
  LaneThreads(const LaneThreads&) = delete;
  LaneThreads& operator=(const LaneThreads&) = delete;
  ~LaneThreads() { join(); }

  // Runs `work`, which must not throw, on a thread of its own; false when
  // the system gives no thread (or no memory for its start), or the room is
  // used up. The caller then does that work itself: nothing is lost.
  template <class Work>
  bool start(Work work) noexcept {
    if (threads_.size() == threads_.capacity()) return false;
    try {
      threads_.emplace_back(std::move(work));
      return true;
    } catch (const std::system_error&) {
      return false;
    } catch (const std::bad_alloc&) {
      return false;
    }
  }

  // Waits for every thread started; what they wrote is then the caller's to read.
  void join() noexcept {
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
  }

 private:
  std::vector<std::thread> threads_;
};

}  // namespace palettra
