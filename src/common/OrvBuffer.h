// The engine's read-only view of a sound's sample data. Immutable once built,
// so any number of worker threads may read it while voices play it.
#pragma once

#include <cstdint>

namespace orv {

// Sample format of a buffer's elements.
enum AudioFormat : int {
  kAudioFormatUInt8 = 0,    // value (b - 128) / 128
  kAudioFormatInt16 = 1,    // value s / 32768
  kAudioFormatFloat32 = 2,  // value unchanged
};

class Buffer {
 public:
  virtual const void* GetData() const = 0;  // frames interleaved
  virtual AudioFormat GetFormat() const = 0;
  virtual int GetNumChannels() const = 0;
  virtual double GetSamplingRate() const = 0;
  virtual std::int64_t GetNumSamples() const = 0;  // frames

 protected:
  // Buffers are destroyed through the shared owner made with their concrete type.
  ~Buffer() = default;
};

}  // namespace orv
