#include "module/nesting_counter.hpp"

namespace palettra {
namespace {

thread_local int depth = 0;

}  // namespace

int nesting_depth() noexcept { return depth; }

NestingScope::NestingScope() noexcept { ++depth; }

NestingScope::~NestingScope() { --depth; }

}  // namespace palettra
