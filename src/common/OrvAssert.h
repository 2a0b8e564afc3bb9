// Internal invariants of the library. A failed assertion means the library's
// own code misused a building block, never bad host input: it stops the
// process in every build type (release builds keep the check) after printing
// the expression, the function and the source unit named by the caller.
#pragma once

namespace orv::detail {
[[noreturn]] void AssertionFailed(const char* expression, const char* function,
                                  const char* unit) noexcept;
}  // namespace orv::detail

// ORV_ASSERT(expr, "OrvEngine"): the second argument is the source unit's name.
#define ORV_ASSERT(expression, unit)   \
  ((expression) ? static_cast<void>(0) \
                : ::orv::detail::AssertionFailed(#expression, __func__, unit))
