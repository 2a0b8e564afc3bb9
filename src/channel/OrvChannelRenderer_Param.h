// Parameters of one voice and its time-stamped updates.
#pragma once

#include <cstdint>

#include "common/OrvVector3.h"

namespace orv {

struct ChannelParam {
  double speed = 1.0;     // playback rate factor, > 0
  double position = 0.0;  // play cursor in buffer frames (fractional)
  float gain = 1.0f;
  float reverbGain = 0.0f;
  float lowPassCoef = 1.0f;  // one-pole coefficient of the dry path; 1 passes unchanged
  bool isLooped = false;     // fixed for the channel's life
  std::int64_t loopStart = 0;
  std::int64_t loopEnd = 0;  // one past the loop's last frame
  bool shouldStop = false;   // once set it cannot be cleared
  // > 0: fade to silence over this many frames, then end. The first nonzero
  // value a voice sees starts its fade; later values do not restart it.
  std::int32_t fadeOutFrames = 0;
  // Gain changes of unspatialized voices glide as spatialized voices' do;
  // off, they apply at once (as they always have for version 1 sounds).
  bool shouldGlideGains = false;
  bool isSpatialized = false;                   // fixed for the channel's life
  Vector3 sourcePosition = {0.0f, 0.0f, 0.0f};  // listener space
  float referenceDistance = 1.0f;

  // Throws Exception: speed, position, gain, loop bounds (in that order).
  void Validate() const;
};

// One queued change. Without isSeek the play cursor is kept.
struct ChannelUpdate {
  ChannelParam param;
  bool isSeek = false;
};

}  // namespace orv
