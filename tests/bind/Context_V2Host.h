// A version 2 host for the tests: liborv.so loaded with dlopen, the larger
// table filled by OrvInitialize(magic, 2, ...), and the few helpers every
// version 2 test needs (mono buffers, voices, rendering in fixed blocks).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/OrvTestUtil.h"

namespace orvtest {

class V2Host {
 public:
  explicit V2Host(const HostLibrary& library) {
    const char* failure = library.initialize(0x4f5256u, 2, reinterpret_cast<OrvContext*>(&table));
    if (failure) throw std::runtime_error(failure);
  }
  ~V2Host() { table.Destroy(table.context); }
  V2Host(const V2Host&) = delete;
  V2Host& operator=(const V2Host&) = delete;

  ContextPrivate* ctx() const { return table.context; }
  std::string Error() const {
    const char* text = table.CheckError(table.context);
    return text ? text : "";
  }

  // Init with a small room at the origin; offline unless asked otherwise.
  void Init(int numThreads = 1, int maxPolyphonics = 16, bool offline = true,
            double rate = 48000.0) {
    const InitParam init = DefaultInitParam(rate, numThreads, maxPolyphonics);
    table.Init(ctx(), &init);
    const Vector3 eye{0, 0, 0}, front{0, 0, 1}, up{0, 1, 0};
    const ReverbParam room{0.0f, 1.0f, 100.0f, 1e-6f, 0.0f};  // next to no reverb
    table.Respatialize(ctx(), &eye, &front, &up, &room);
    if (offline) table.SetOption(ctx(), ORV_OPTION_OFFLINE, 1.0);
  }

  Buffer* Mono(const std::vector<float>& samples, double rate = 48000.0) {
    const BufferParam bp{samples.data(), 32, 1, static_cast<int>(samples.size()), rate};
    return table.CreateBuffer(ctx(), &bp);
  }

  // Renders frames interleaved stereo frames in blocks of block frames.
  std::vector<float> Render(std::size_t frames, int block = 256) {
    std::vector<float> out(2 * frames);
    for (std::size_t done = 0; done < frames;) {
      const int n = static_cast<int>(std::min<std::size_t>(block, frames - done));
      table.Render(ctx(), out.data() + 2 * done, n);
      done += static_cast<std::size_t>(n);
    }
    return out;
  }

  OrvContext2 table{};
};

// A voice's parameters: at gain 1 and speed 1, starting as soon as possible.
inline OrvVoiceParam VoiceAt(int space, Vector3 position = {0, 0, 0}, bool loop = false,
                             std::int64_t startFrame = -1) {
  OrvVoiceParam p{};
  p.volume = 1.0f;
  p.speed = 1.0f;
  p.referenceDistance = 1.0f;
  p.space = space;
  p.loop = loop ? 1 : 0;
  p.position = position;
  p.startFrame = startFrame;
  return p;
}

// One channel of an interleaved stereo signal.
inline std::vector<float> Channel(const std::vector<float>& stereo, int channel) {
  std::vector<float> out(stereo.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = stereo[2 * i + channel];
  return out;
}

// The largest sample-to-sample step of x over [begin, end).
inline float MaxStep(const std::vector<float>& x, std::size_t begin, std::size_t end) {
  float m = 0.0f;
  for (std::size_t i = begin + 1; i < end && i < x.size(); ++i)
    m = std::max(m, std::fabs(x[i] - x[i - 1]));
  return m;
}

}  // namespace orvtest
