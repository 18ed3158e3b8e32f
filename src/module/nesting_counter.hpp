// Counts the entries into the module that are active on this thread.
#pragma once

namespace palettra {

// Above zero while this thread runs inside an entry point, and therefore
// holds the interpreter lock.
int nesting_depth() noexcept;

class NestingScope {
 public:
  NestingScope() noexcept;
  ~NestingScope();
  NestingScope(const NestingScope&) = delete;
  NestingScope& operator=(const NestingScope&) = delete;
};

}  // namespace palettra
