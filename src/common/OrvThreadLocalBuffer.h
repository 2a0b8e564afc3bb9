// The per-lane mix buffers of one render block. The voices are dealt into
// lanes by their place in the engine's list, and each lane is mixed by one
// worker at a time, so voices mix without locks or atomics; the engine folds
// the lanes together once per block, in lane order. The lanes do not depend
// on the thread count, so neither do the sums and their rounding.
#pragma once

#include <cstddef>
#include <vector>

namespace orv {

// Enough lanes to keep this many workers busy in the voice stage.
constexpr std::size_t kMaxLanes = 16;

struct ThreadLocalBuffer {
  std::size_t lane = 0;              // index below kMaxLanes
  std::vector<float> mainMix;        // 2n, interleaved stereo dry mix
  std::vector<float> sourceScratch;  // n, mono scratch of one spatialized source
  std::vector<float> spatialMix;     // 2n, interleaved binaural output of this slot
  std::vector<float> reverbSend;     // n, mono reverb input
  std::vector<float> dryMonoSum;     // n, mono input of the bass enhancer
};

}  // namespace orv
