// Lets other threads run Python while this one works on memory it holds.
#pragma once

#include <Python.h>

namespace palettra {

// Between construction and destruction this thread must not touch any
// Python object; everything it reads is kept alive by views taken before.
class ReleasedLock {
 public:
  explicit ReleasedLock(bool release) noexcept
      : state_(release ? PyEval_SaveThread() : nullptr) {}
  ~ReleasedLock() {
    if (state_ != nullptr) PyEval_RestoreThread(state_);
  }
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace palettra
