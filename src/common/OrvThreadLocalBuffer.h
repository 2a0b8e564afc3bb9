// The per-slot mix buffers of one render block. Each worker slot owns one, so
// voices mix without locks or atomics; the engine folds the slots together
// once per block.
#pragma once

#include <vector>

namespace orv {

struct ThreadLocalBuffer {
  std::vector<float> mainMix;        // 2n, interleaved stereo dry mix
  std::vector<float> sourceScratch;  // n, mono scratch of one spatialized source
  std::vector<float> spatialMix;     // 2n, interleaved binaural output of this slot
  std::vector<float> reverbSend;     // n, mono reverb input
  std::vector<float> dryMonoSum;     // n, mono input of the bass enhancer
};

}  // namespace orv
