// Sound data ready for the library's CreateBuffer: read from a file with
// libsndfile, or made by a generator (Generators.h).
#pragma once

#include <cstdint>
#include <vector>

#include "Scene.h"
#include "orv/orv.h"

namespace orvrender {

// Most samples (frames times channels) one sound may hold, read or
// generated: 2^28, 1 GiB as float, 46 minutes of 48 kHz stereo.
inline constexpr std::int64_t kMaxSoundSamples = std::int64_t{1} << 28;

struct SoundData {
  std::vector<unsigned char> bytes;  // interleaved frames in the library's format
  int bits = 32;                     // 8 (unsigned), 16 (signed) or 32 (float)
  int channels = 1;
  std::int64_t frames = 0;
  double sampleRate = 48000.0;

  // Points into bytes: valid while this object lives unchanged.
  BufferParam Param() const;
  double Seconds() const { return static_cast<double>(frames) / sampleRate; }
};

// Interleaved float samples in -1..1 converted to the given sample format.
SoundData FromFloat(const std::vector<float>& interleaved, int channels, double sampleRate,
                    int bits);

// Reads a sound file the way it is stored: 8-bit files stay 8-bit, 16-bit
// files 16-bit, everything else becomes float. Mono or stereo only.
SoundData ReadSoundFile(const SoundDefinition& sound);

// A file or a generator; throws UserError naming the sound's JSON path.
SoundData LoadSound(const SoundDefinition& sound, double sceneRate);
// What LoadSound would refuse, found without reading or making the samples.
void CheckSound(const SoundDefinition& sound, double sceneRate);

}  // namespace orvrender
