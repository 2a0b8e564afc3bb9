// Delays of voice operations: samples from the start of the next block, kept
// as signed 64-bit sample counts.
#pragma once

#include <cmath>
#include <cstdint>

#include "common/OrvAssert.h"
#include "common/OrvException.h"

namespace orv {

// 2^63: the first delay that no signed 64-bit sample count holds.
inline constexpr double kDelayLimit = 9223372036854775808.0;

// The checks of every voice operation's delay, in order. A NaN delay's text
// differs: creation says "NaN delay.", later operations "NaN delay".
inline void CheckDelay(double delay, const char* nanText) {
  if (delay < 0.0) throw Exception("Delay is negative.");
  if (std::isnan(delay)) throw Exception("%s", nanText);
  // No delay of 2^63 samples or more fits a sample count.
  if (delay >= kDelayLimit) throw Exception("Too big delay value.");
}

// Whole samples of a checked delay (0 <= delay < 2^63), the fraction dropped.
inline std::int64_t DelayToSamples(double delay) noexcept {
  ORV_ASSERT(delay >= 0.0 && delay < kDelayLimit, "OrvChannelRenderer");
  return static_cast<std::int64_t>(delay);
}

}  // namespace orv
