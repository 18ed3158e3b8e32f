#include "module/boundary_guard.hpp"

#include <cstdlib>

#include "runtime/panic_report.hpp"

namespace palettra {

void FailureTrap::spring() const noexcept {
  write_panic_report(message_, std::source_location::current());
  std::abort();
}

}  // namespace palettra
