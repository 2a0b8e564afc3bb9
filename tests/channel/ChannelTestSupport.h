// Test doubles and references shared by the channel tests: an in-memory
// sound buffer, a recorder in place of a spatializer source, and mix buffers.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "common/OrvBuffer.h"
#include "common/OrvThreadLocalBuffer.h"
#include "common/OrvVector3.h"

namespace orvtest {

// A sound buffer over a copy of the given interleaved elements.
class TestBuffer final : public orv::Buffer {
 public:
  // Bytes of guard around the data: a read outside the buffer's frames finds
  // NaN or a loud integer instead of the silence the samplers must produce.
  static constexpr std::size_t kGuardBytes = 64;

  template <typename T>
  static std::shared_ptr<TestBuffer> Make(const std::vector<T>& elements, int numChannels,
                                          orv::AudioFormat format, double samplingRate = 48000.0) {
    auto buffer = std::make_shared<TestBuffer>();
    const std::size_t size = elements.size() * sizeof(T);
    // 0xFF bytes: NaN as float, -1 as int16, 0.9921875 as uint8.
    buffer->bytes.assign(kGuardBytes + size + kGuardBytes, 0xFF);
    if (!elements.empty()) std::memcpy(buffer->bytes.data() + kGuardBytes, elements.data(), size);
    buffer->format = format;
    buffer->numChannels = numChannels;
    buffer->samplingRate = samplingRate;
    buffer->numSamples = static_cast<std::int64_t>(elements.size()) / numChannels;
    return buffer;
  }
  static std::shared_ptr<TestBuffer> Mono(const std::vector<float>& samples,
                                          double samplingRate = 48000.0) {
    return Make(samples, 1, orv::kAudioFormatFloat32, samplingRate);
  }

  const void* GetData() const override { return bytes.data() + kGuardBytes; }
  orv::AudioFormat GetFormat() const override { return format; }
  int GetNumChannels() const override { return numChannels; }
  double GetSamplingRate() const override { return samplingRate; }
  std::int64_t GetNumSamples() const override { return numSamples; }

  // Lets a test claim a format or channel count that does not match the data.
  orv::AudioFormat format = orv::kAudioFormatFloat32;
  int numChannels = 1;

 private:
  std::vector<unsigned char> bytes;
  double samplingRate = 48000.0;
  std::int64_t numSamples = 0;
};

// Stands in for a spatializer source: records every Mix call.
struct RecordingSource {
  struct Call {
    const float* samples;
    int offset;
    int count;
    orv::Vector3 position;
    std::vector<float> copy;  // samples[0 .. count - 1] at the time of the call
  };
  void Mix(const float* samples, int offset, int count, const orv::Vector3& position,
           std::size_t /*lane*/ = 0) {
    calls.push_back(
        {samples, offset, count, position, std::vector<float>(samples, samples + count)});
  }
  // Never a direct input: every sample goes through Mix and is recorded.
  float* SteadyInput(int /*offset*/, const orv::Vector3& /*position*/, std::size_t /*lane*/ = 0) {
    return nullptr;
  }
  int Group() const noexcept { return -1; }
  std::vector<Call> calls;
};

// Mix buffers for a block of n frames, cleared as the engine clears them.
inline orv::ThreadLocalBuffer MakeMixBuffers(int n) {
  orv::ThreadLocalBuffer b;
  b.mainMix.assign(2 * n, 0.0f);
  b.sourceScratch.assign(n, 0.0f);
  b.spatialMix.assign(2 * n, 0.0f);
  b.reverbSend.assign(n, 0.0f);
  b.dryMonoSum.assign(n, 0.0f);
  return b;
}

// Random elements of the format's type (full range; floats within +-1).
inline std::shared_ptr<TestBuffer> RandomBuffer(int numChannels, orv::AudioFormat format,
                                                int frames = 80) {
  std::mt19937 rng(static_cast<std::uint32_t>(numChannels * 10 + format));
  switch (format) {
    case orv::kAudioFormatUInt8: {
      std::vector<std::uint8_t> v(frames * numChannels);
      for (auto& e : v) e = static_cast<std::uint8_t>(rng());
      return TestBuffer::Make(v, numChannels, format);
    }
    case orv::kAudioFormatInt16: {
      std::vector<std::int16_t> v(frames * numChannels);
      for (auto& e : v) e = static_cast<std::int16_t>(rng());
      return TestBuffer::Make(v, numChannels, format);
    }
    default: {
      std::vector<float> v(frames * numChannels);
      std::uniform_real_distribution<float> d(-1.0f, 1.0f);
      for (auto& e : v) e = d(rng);
      return TestBuffer::Make(v, numChannels, format);
    }
  }
}

}  // namespace orvtest
