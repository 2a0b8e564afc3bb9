// The voice renderers in their per-sample form: one cursor addition, one
// sampler call, one gain step per output sample. The span renderers must
// give the same output within rounding; the channel benchmark measures both.
// Needs only src/ headers, so the benchmark can include it too.
#pragma once

#include <cmath>
#include <memory>
#include <type_traits>

#include "channel/OrvChannelRenderer_Param.h"
#include "channel/OrvChannelRenderer_Samplers.h"
#include "common/OrvBuffer.h"
#include "common/OrvThreadLocalBuffer.h"

namespace orvtest {

enum class VoiceKind { kSpatialized, kMono, kStereo };

// One voice of the given kind. Source: what a spatialized voice mixes into
// (anything with Mix(samples, offset, count, position)); unused otherwise.
template <class Sampler, VoiceKind kind, class Source>
class PerSampleVoice {
 public:
  PerSampleVoice(const orv::Buffer& buffer, orv::ChannelParam* param, double samplingRate,
                 std::shared_ptr<Source> source = nullptr)
      : sampler(buffer, param),
        param(param),
        rateRatio(buffer.GetSamplingRate() / samplingRate),
        endPosition(static_cast<double>(buffer.GetNumSamples()) + 8.0),
        source(std::move(source)) {}

  void ParamUpdated() { sampler.ParamUpdated(); }

  bool Render(int offset, int count, orv::ThreadLocalBuffer& buffers) {
    const orv::ChannelParam& p = *param;
    const double step = p.speed * rateRatio;
    const float c = p.lowPassCoef;
    float* send = buffers.reverbSend.data() + offset;
    float* mix = buffers.mainMix.data() + 2 * offset;
    float* scratch = buffers.sourceScratch.data() + offset;
    float* dry = buffers.dryMonoSum.data() + offset;
    float gain = p.gain, reverbGain = p.reverbGain;
    float targetGain = gain, targetReverb = reverbGain;
    if constexpr (kind == VoiceKind::kSpatialized) {
      const orv::Vector3 v = p.sourcePosition;
      const float d2 = (v.x * v.x + v.y * v.y + v.z * v.z) / p.referenceDistance;
      const float distanceGain = d2 < 1.0f ? 1.0f : 1.0f / std::sqrt(d2);
      targetGain = p.gain * distanceGain;
      targetReverb = p.reverbGain * std::sqrt(distanceGain);
      if (currentGain < -1000.0f) {
        currentGain = targetGain;
        currentReverbGain = targetReverb;
      }
      gain = currentGain;
      reverbGain = currentReverbGain;
    }
    double x = p.position;
    bool ended = false;
    const int produced = Advance(x, step, count, ended, [&](int k, double at, bool loop) {
      const auto low = [c](float y, float s) { return c == 1.0f ? s : y + (s - y) * c; };
      const float s = sampler.GetSample(at, 0, loop);
      if constexpr (kind == VoiceKind::kStereo) {
        const float right = sampler.GetSample(at, 1, loop);
        send[k] += (s + right) * (reverbGain * 0.5f);
        y[0] = low(y[0], s);
        y[1] = low(y[1], right);
        mix[2 * k] += gain * y[0];
        mix[2 * k + 1] += gain * y[1];
      } else {
        send[k] += reverbGain * s;
        y[0] = low(y[0], s);
        const float out = gain * y[0];
        if constexpr (kind == VoiceKind::kMono) {
          mix[2 * k] += out;
          mix[2 * k + 1] += out;
        } else {
          scratch[k] = out;
          dry[k] += out;
          gain += (targetGain - gain) * 0.1f;
          reverbGain += (targetReverb - reverbGain) * 0.1f;
        }
      }
    });
    if constexpr (kind == VoiceKind::kSpatialized) {
      currentGain = gain;
      currentReverbGain = reverbGain;
      source->Mix(scratch, offset, produced, p.sourcePosition);
    }
    param->position = x;
    return !ended;
  }

 private:
  template <class PerSample>
  int Advance(double& x, double step, int count, bool& ended, PerSample&& perSample) {
    if (!std::isfinite(x)) {
      ended = true;
      return 0;
    }
    if constexpr (Sampler::kLooped) {
      const double start = static_cast<double>(sampler.LoopStart());
      const double end = static_cast<double>(sampler.LoopEnd());
      orv::WrapLoopCursor(x, start, end);
      int k = 0;
      while (k < count) {
        perSample(k, x, inLoop);
        ++k;
        x += step;
        inLoop = inLoop || x >= start;
        if (!orv::WrapLoopCursor(x, start, end)) {
          ended = true;
          break;
        }
      }
      return k;
    } else {
      if (step < 0.0 && x < -8.0) {
        ended = true;
        return 0;
      }
      for (int k = 0; k < count; ++k) {
        if (x >= endPosition) {
          ended = true;
          return k;
        }
        perSample(k, x, false);
        x += step;
      }
      return count;
    }
  }

  Sampler sampler;
  orv::ChannelParam* param;
  double rateRatio;
  double endPosition;
  std::shared_ptr<Source> source;
  bool inLoop = false;
  float y[2] = {0.0f, 0.0f};
  float currentGain = -10000.0f;
  float currentReverbGain = -10000.0f;
};

}  // namespace orvtest
