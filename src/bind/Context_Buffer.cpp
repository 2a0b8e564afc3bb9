#include "bind/Context_Buffer.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "common/OrvException.h"

namespace orvbind {
namespace {

struct FormatInfo {
  orv::AudioFormat format;
  std::size_t elementSize;
};

FormatInfo FormatOf(int bits) {
  switch (bits) {
    case 8: return {orv::kAudioFormatUInt8, 1};
    case 16: return {orv::kAudioFormatInt16, 2};
    case 32: return {orv::kAudioFormatFloat32, 4};
    default: throw orv::Exception("Invalid sample bits.");
  }
}

}  // namespace

SoundData::SoundData(const BufferParam& bufferParam) : param(bufferParam) {
  const FormatInfo info = FormatOf(param.bits);
  if (param.numSamples < 0 || param.numChannels < 0)
    throw orv::Exception("Invalid buffer size: %d frames of %d channels.", param.numSamples,
                         param.numChannels);
  const std::uint64_t bytes = static_cast<std::uint64_t>(param.numSamples) *
                              static_cast<std::uint64_t>(param.numChannels) * info.elementSize;
  if (bytes > 0 && param.data == nullptr) throw orv::Exception("Parameter data is null.");
  samples.resize(static_cast<std::size_t>(bytes));
  if (bytes > 0) std::memcpy(samples.data(), param.data, static_cast<std::size_t>(bytes));
  param.data = nullptr;  // the host's memory is not used again

  if (info.format == orv::kAudioFormatFloat32) {
    float* values = reinterpret_cast<float*>(samples.data());
    for (std::size_t i = 0; i < bytes / sizeof(float); ++i)
      if (!std::isfinite(values[i])) values[i] = 0.0f;
  }
}

orv::AudioFormat SoundData::GetFormat() const { return FormatOf(param.bits).format; }

}  // namespace orvbind
