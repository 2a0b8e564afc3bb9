#include "Sounds.h"

#include <sndfile.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include "Generators.h"
#include "JsonReader.h"
#include "UserError.h"

namespace orvrender {

namespace {

struct SndfileCloser {
  void operator()(SNDFILE* file) const { sf_close(file); }
};

// The largest buffer CreateBuffer can describe: numSamples is 32-bit.
constexpr std::int64_t kMaxFrames = std::numeric_limits<std::int32_t>::max();

// "... holds at most 268435456 samples (1 GiB as float)": what a sound may
// hold, so that a long sound at a high rate fails with this rather than with
// the allocator's failure.
std::string TooLong(double samples) {
  return "the sound is too long: " + FormatNumber(samples) + " samples; a sound holds at most " +
         std::to_string(kMaxSoundSamples) + " samples (1 GiB as float)";
}

}  // namespace

BufferParam SoundData::Param() const {
  BufferParam param{};
  param.data = bytes.data();
  param.bits = bits;
  param.numChannels = channels;
  param.numSamples = static_cast<std::int32_t>(frames);
  param.samplingRate = sampleRate;
  return param;
}

SoundData FromFloat(const std::vector<float>& interleaved, int channels, double sampleRate,
                    int bits) {
  SoundData data;
  data.bits = bits;
  data.channels = channels;
  data.sampleRate = sampleRate;
  data.frames = static_cast<std::int64_t>(interleaved.size()) / channels;
  const std::size_t n = interleaved.size();
  if (bits == 8) {
    data.bytes.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      const float s = std::clamp(interleaved[i], -1.0f, 1.0f);
      data.bytes[i] =
          static_cast<unsigned char>(std::clamp(std::lround(s * 128.0f) + 128, 0L, 255L));
    }
  } else if (bits == 16) {
    data.bytes.resize(n * sizeof(std::int16_t));
    auto* out = reinterpret_cast<std::int16_t*>(data.bytes.data());
    for (std::size_t i = 0; i < n; ++i) {
      const float s = std::clamp(interleaved[i], -1.0f, 1.0f);
      out[i] = static_cast<std::int16_t>(std::clamp(std::lround(s * 32768.0f), -32768L, 32767L));
    }
  } else {
    data.bytes.resize(n * sizeof(float));
    std::copy(interleaved.begin(), interleaved.end(), reinterpret_cast<float*>(data.bytes.data()));
  }
  return data;
}

namespace {

using SoundFile = std::unique_ptr<SNDFILE, SndfileCloser>;

// Opens a sound file and checks that its samples can become a buffer.
SoundFile OpenSoundFile(const SoundDefinition& sound, SF_INFO& info) {
  const std::string where = sound.path + ".file: '" + sound.file + "': ";
  struct stat status {};
  if (stat(sound.file.c_str(), &status) != 0)
    throw UserError(where + "cannot open the sound: " + std::strerror(errno));
  if (S_ISDIR(status.st_mode)) throw UserError(where + "cannot open the sound: it is a folder");
  SoundFile file(sf_open(sound.file.c_str(), SFM_READ, &info));
  if (!file) throw UserError(where + "cannot read the sound: " + sf_strerror(nullptr));
  if (info.channels != 1 && info.channels != 2)
    throw UserError(where + "the sound has " + std::to_string(info.channels) +
                    " channels; Orv plays mono and stereo sounds");
  if (info.frames > kMaxFrames)
    throw UserError(where + "the sound is too long (" + std::to_string(info.frames) + " frames)");
  if (static_cast<double>(info.frames) * info.channels > static_cast<double>(kMaxSoundSamples))
    throw UserError(where + TooLong(static_cast<double>(info.frames) * info.channels));
  if (info.samplerate <= 0) throw UserError(where + "the sound has no sampling rate");
  return file;
}

// The generator's length in frames, checked against what a buffer holds.
double GeneratedFrames(const SoundDefinition& sound, double sceneRate) {
  const double rate = sound.shape.sampleRate > 0.0 ? sound.shape.sampleRate : sceneRate;
  const double frames = std::round(sound.shape.duration * rate);
  if (frames > static_cast<double>(kMaxFrames))
    throw UserError(sound.path + ".duration: the sound is too long for one buffer");
  if (frames * sound.shape.channels > static_cast<double>(kMaxSoundSamples))
    throw UserError(sound.path + ".duration: " + TooLong(frames * sound.shape.channels));
  return frames;
}

}  // namespace

SoundData ReadSoundFile(const SoundDefinition& sound) {
  const std::string where = sound.path + ".file: '" + sound.file + "': ";
  SF_INFO info{};
  const SoundFile file = OpenSoundFile(sound, info);
  SoundData data;
  data.channels = info.channels;
  data.frames = info.frames;
  data.sampleRate = info.samplerate;
  const std::size_t samples = static_cast<std::size_t>(info.frames) * info.channels;
  const int subtype = info.format & SF_FORMAT_SUBMASK;
  sf_count_t read = 0;
  if (subtype == SF_FORMAT_PCM_U8 || subtype == SF_FORMAT_PCM_S8 || subtype == SF_FORMAT_PCM_16) {
    std::vector<short> pcm(samples);
    read = sf_readf_short(file.get(), pcm.data(), info.frames);
    if (subtype == SF_FORMAT_PCM_16) {
      data.bits = 16;
      data.bytes.resize(samples * sizeof(short));
      std::copy(pcm.begin(), pcm.end(), reinterpret_cast<short*>(data.bytes.data()));
    } else {
      // libsndfile widens 8-bit samples to the top byte of a short.
      data.bits = 8;
      data.bytes.resize(samples);
      for (std::size_t i = 0; i < samples; ++i)
        data.bytes[i] = static_cast<unsigned char>((pcm[i] >> 8) + 128);
    }
  } else {
    data.bits = 32;
    data.bytes.resize(samples * sizeof(float));
    read = sf_readf_float(file.get(), reinterpret_cast<float*>(data.bytes.data()), info.frames);
  }
  if (read != info.frames)
    throw UserError(where + "cannot read the sound: " +
                    (sf_error(file.get()) ? sf_strerror(file.get()) : "the file ends early"));
  return data;
}

SoundData LoadSound(const SoundDefinition& sound, double sceneRate) {
  if (sound.kind == SoundKind::File) return ReadSoundFile(sound);
  GeneratedFrames(sound, sceneRate);
  const double rate = sound.shape.sampleRate > 0.0 ? sound.shape.sampleRate : sceneRate;
  return FromFloat(Generate(sound, rate), sound.shape.channels, rate, sound.shape.bits);
}

void CheckSound(const SoundDefinition& sound, double sceneRate) {
  if (sound.kind == SoundKind::File) {
    SF_INFO info{};
    OpenSoundFile(sound, info);
  } else {
    GeneratedFrames(sound, sceneRate);
  }
}

}  // namespace orvrender
