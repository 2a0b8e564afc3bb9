// Delays of voice operations: samples from the start of the next block, kept
// as signed 64-bit sample counts.
#pragma once

#include <cstdint>

#include "common/OrvAssert.h"

namespace orv {

// 2^63: the first delay that no signed 64-bit sample count holds.
inline constexpr double kDelayLimit = 9223372036854775808.0;

// Whole samples of a checked delay (0 <= delay < 2^63), the fraction dropped.
inline std::int64_t DelayToSamples(double delay) noexcept {
  ORV_ASSERT(delay >= 0.0 && delay < kDelayLimit, "OrvChannelRenderer");
  return static_cast<std::int64_t>(delay);
}

}  // namespace orv
