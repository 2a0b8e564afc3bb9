// Sound buffers as the host hands them over: the samples are copied once, so
// the host may reuse its memory at once, and shared with every voice that
// plays them, so freeing a handle never cuts a playing sound.
#pragma once

#include <memory>
#include <vector>

#include "common/OrvBuffer.h"
#include "orv/orv.h"

namespace orvbind {

class SoundData final : public orv::Buffer {
 public:
  // Throws "Invalid sample bits." for bits other than 8, 16 and 32, before
  // anything is allocated. Non-finite float samples are stored as 0: one bad
  // sound must not silence the whole mix through the limiter.
  explicit SoundData(const BufferParam& param);

  const void* GetData() const override { return samples.data(); }
  orv::AudioFormat GetFormat() const override;
  int GetNumChannels() const override { return param.numChannels; }
  double GetSamplingRate() const override { return param.samplingRate; }
  std::int64_t GetNumSamples() const override { return param.numSamples; }

 private:
  BufferParam param;
  std::vector<unsigned char> samples;
};

// The opaque handle the host holds.
class BufferHandle {
 public:
  explicit BufferHandle(const BufferParam& param) : buffer(std::make_shared<SoundData>(param)) {}
  const std::shared_ptr<SoundData>& Data() const { return buffer; }

 private:
  std::shared_ptr<SoundData> buffer;
};

}  // namespace orvbind
