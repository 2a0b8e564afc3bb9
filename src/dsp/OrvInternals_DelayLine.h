// Fixed-size integer delay line for the reverb's feedback network: the samples
// live inline and indexes wrap with a mask, so a read costs neither an
// indirection nor a compare. Read first, then write: used that way a line set
// with SetDelay(d) gives back each sample d + 1 steps later.
#pragma once

#include <algorithm>

#include "common/OrvAssert.h"

namespace orv {

template <int N>
class StaticExactDelayLine {
  static_assert(N > 0 && (N & (N - 1)) == 0, "the ring length must be a power of two");

 public:
  static constexpr int size = N;
  static constexpr int mask = N - 1;

  // d in 0 .. N - 1; anything else stops the process.
  void SetDelay(int d) {
    // Unsigned increment: d = INT_MAX must fail the checks instead of overflowing.
    this->delay = static_cast<int>(static_cast<unsigned>(d) + 1u);
    ORV_ASSERT(this->delay <= size, "OrvInternals");
    ORV_ASSERT(this->delay > 0, "OrvInternals");
  }
  int GetDelay() const { return delay - 1; }

  // Zeroes the ring and rewinds the write position.
  void Clear() noexcept {
    std::fill(samples, samples + N, 0.0f);
    position = 0;
  }

  // The sample written delay steps ago. ORV_REALTIME.
  float Read() const noexcept { return samples[(position - delay) & mask]; }

  // Stores x and advances. ORV_REALTIME.
  void Write(float x) noexcept {
    samples[position] = x;
    position = (position + 1) & mask;
  }

  float samples[N];
  int position = 0;
  int delay = 1;  // the requested delay plus one
};

}  // namespace orv
