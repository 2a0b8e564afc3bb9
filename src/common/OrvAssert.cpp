#include "common/OrvAssert.h"

#include <cstdio>
#include <cstdlib>

namespace orv::detail {

void AssertionFailed(const char* expression, const char* function, const char* unit) noexcept {
  // stderr is the only place left to say why the process stops.
  std::fprintf(stderr, "Assertion failed: (%s), function %s, file %s.\n", expression, function,
               unit);
  std::fflush(stderr);
  std::abort();
}

}  // namespace orv::detail
