// The reverb's bank of integer delay lines: numLines rings of ringLength
// samples (a power of two) in one allocation, advancing together from one
// shared write position. Each ring keeps the last ringLength samples its line
// wrote, so changing a line's delay never clears it: the line reads its
// history at the new delay.
//
// Rings follow each other at a stride of ringLength plus one cache line, so
// that the lines' write positions, equal modulo the ring, fall into different
// cache sets (a stride that is a multiple of 4 KiB would make all of them
// compete for one set).
//
// Read first, then write: used that way a line set to SetDelay(d) gives back
// each sample d + 1 steps later. Block access hands out contiguous runs of
// the rings, each valid up to the ring's end (ReadSpan, WriteSpan).
#pragma once

#include <array>
#include <vector>

#include "common/OrvAssert.h"

namespace orv {

template <int numLines, int ringLength>
class DelayLineBank {
  static_assert(ringLength > 0 && (ringLength & (ringLength - 1)) == 0,
                "the ring length must be a power of two");

 public:
  static constexpr int kRingLength = ringLength;
  static constexpr int kMask = ringLength - 1;
  static constexpr int kStride = ringLength + 16;  // one 64-byte cache line of padding

  // Allocates the rings, zeroed; every delay 0.
  DelayLineBank() : samples(static_cast<std::size_t>(numLines) * kStride, 0.0f) { loop.fill(1); }

  // d in 0 .. ringLength - 1; anything else stops the process.
  void SetDelay(int line, int d) {
    // Unsigned increment: d = INT_MAX must fail the checks instead of overflowing.
    const int l = static_cast<int>(static_cast<unsigned>(d) + 1u);
    ORV_ASSERT(l <= ringLength, "OrvInternals");
    ORV_ASSERT(l > 0, "OrvInternals");
    loop[line] = l;
  }
  int GetDelay(int line) const { return loop[line] - 1; }
  // The loop length of a line read before being written: its delay plus one.
  int GetLoop(int line) const { return loop[line]; }

  // Zeroes the rings and rewinds the write position.
  void Clear() noexcept {
    std::fill(samples.begin(), samples.end(), 0.0f);
    position = 0;
  }

  // --- One step at a time. ORV_REALTIME. ---------------------------------------
  // The sample line wrote delay + 1 steps ago.
  float Read(int line) const noexcept { return Ring(line)[(position - loop[line]) & kMask]; }
  // Stores x as line's sample of this step; Advance ends the step.
  void Write(int line, float x) noexcept { Ring(line)[position] = x; }
  void Advance(int steps = 1) noexcept { position = (position + steps) & kMask; }

  // --- Runs, for block processing. ORV_REALTIME. --------------------------------
  // Samples the next steps read, oldest first: ReadRun(line)[i] is what
  // Read(line) returns i steps from now, valid for i < min(loop, ReadSpan).
  const float* ReadRun(int line) const noexcept {
    return Ring(line) + ((position - loop[line]) & kMask);
  }
  int ReadSpan(int line) const noexcept { return ringLength - ((position - loop[line]) & kMask); }
  // Where the next steps write, valid for i < WriteSpan.
  float* WriteRun(int line) noexcept { return Ring(line) + position; }
  int WriteSpan() const noexcept { return ringLength - position; }

  int GetPosition() const noexcept { return position; }

 private:
  float* Ring(int line) noexcept {
    return samples.data() + static_cast<std::size_t>(line) * kStride;
  }
  const float* Ring(int line) const noexcept {
    return samples.data() + static_cast<std::size_t>(line) * kStride;
  }

  std::vector<float> samples;
  std::array<int, numLines> loop;
  int position = 0;
};

}  // namespace orv
