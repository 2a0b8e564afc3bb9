// The three renderer kinds, each a template over its sampler: they turn a
// voice's buffer into one worker's mix buffers, advance the play cursor and
// report when a one-shot sound has ended. Parameters are read once per call
// (the channel cuts calls at update time stamps), and the sampler is inlined
// into the sample loop, so each of the 54 types runs a loop of its own.
//
// Render is ORV_REALTIME: it writes only the worker's ThreadLocalBuffer (sized
// by the engine to cover offset + count) and its own channel's position, and
// allocates nothing. It does not guard the mix against NaN parameters.
#pragma once

#include <cmath>
#include <memory>
#include <type_traits>

#include "channel/OrvChannelRenderer.h"
#include "channel/OrvChannelRenderer_Samplers.h"
#include "spatializer/OrvSpatializer.h"

namespace orv {

// The loop variants below are nested lambdas; each must fold into the one
// sample loop of its renderer type, not become a call with its state in memory.
#define ORV_LOOP_INLINE __attribute__((always_inline))

// The one-pole low-pass of the dry path, y += (s - y) * c. With c = 1 it
// passes s through exactly: y + (s - y) can be off by a rounding step when y
// and s differ much in size, so that case is a loop of its own.
using Filtered = std::bool_constant<true>;
using Unfiltered = std::bool_constant<false>;
inline constexpr Filtered kFiltered{};
inline constexpr Unfiltered kUnfiltered{};

template <bool filtered>
inline float LowPass(float y, float s, float c) noexcept {
  if constexpr (filtered) {
    return y + (s - y) * c;
  } else {
    return s;
  }
}

// What all kinds share: the sampler, the cursor walk and the one-shot end.
template <class Sampler>
class RendererBase : public Channel::Renderer {
 public:
  // engineSamplingRate: the output rate the cursor step is scaled to.
  RendererBase(const Channel::RendererBuildParam& build, double engineSamplingRate)
      : sampler(*build.buffer, build.param),
        param(build.param),
        engine(build.engine),
        rateRatio(build.buffer->GetSamplingRate() / engineSamplingRate),
        endPosition(static_cast<double>(build.buffer->GetNumSamples()) + 8.0) {}

  // Refreshes the sampler's cached loop bounds (nothing to do for one-shots).
  void ParamUpdated() noexcept override { sampler.ParamUpdated(); }

 protected:
  // Walks the cursor x over up to count output samples, calling
  // perSample(k, x, inLoop, checked) for each sample k that is produced, and
  // returns how many were. checked is a std::bool_constant: false when every
  // tap of the call is known to lie inside the buffer, so the sampler may skip
  // its range checks. Sets ended when the voice is over: a one-shot cursor at
  // or past endPosition, or a cursor that is not finite (an infinite position
  // or speed passes validation; such a voice would otherwise never end, and a
  // looping one would wrap forever).
  template <class PerSample>
  ORV_LOOP_INLINE int Advance(double& x, double step, int count, bool& ended,
                              PerSample&& perSample) noexcept {
    if (!std::isfinite(x)) [[unlikely]] {
      ended = true;
      return 0;
    }
    if constexpr (Sampler::kLooped) {
      const double start = static_cast<double>(sampler.LoopStart());
      const double end = static_cast<double>(sampler.LoopEnd());
      WrapLoopCursor(x, start, end);  // finite, so it cannot fail
      const auto run = [&](auto checked) ORV_LOOP_INLINE {
        double cursor = x;
        bool entered = inLoop;
        int k = 0;
        while (k < count) {
          perSample(k, cursor, entered, checked);
          ++k;
          cursor += step;
          entered = entered || cursor >= start;
          if (!WrapLoopCursor(cursor, start, end)) [[unlikely]] {
            ended = true;
            break;
          }
        }
        x = cursor;
        inLoop = entered;
        return k;
      };
      // Until the loop is entered the cursor only grows from here; once it
      // is, every tap lands in the loop. So this start and the loop bounds
      // tell whether the whole call reads inside the buffer.
      // (A cursor that walks backwards, from a negative buffer rate, leaves
      // that range: it always takes the checked reads.)
      if (step >= 0.0 && sampler.AllTapsInside(x, x, Sampler::kTapsBefore, Sampler::kTapsAfter)) {
        return run(std::false_type{});
      }
      return run(std::true_type{});
    } else {
      // A buffer with a negative sampling rate plays backwards: once its
      // cursor is eight frames before the start there is nothing left to
      // hear, and a one-shot voice that nobody can stop must end.
      if (step < 0.0 && x < -8.0) [[unlikely]] {
        ended = true;
        return 0;
      }
      // The cursor after k steps is x + k * step up to k half-ulps of rounding;
      // a frame of slack covers that and the rounding of the product. Only a
      // cursor that moves forwards stays within [x, last].
      const double reach = x + step * count;
      const double last = reach + 1.0 + reach * count * 0x1p-50;
      if (step >= 0.0 &&
          sampler.AllTapsInside(x, last, Sampler::kTapsBefore, Sampler::kTapsAfter)) {
        // Inside the buffer all the way, so short of endPosition too.
        for (int k = 0; k < count; ++k) {
          perSample(k, x, false, std::false_type{});
          x += step;
        }
        return count;
      }
      const double stopAt = endPosition;
      for (int k = 0; k < count; ++k) {
        if (x >= stopAt) {
          ended = true;
          return k;
        }
        perSample(k, x, false, std::true_type{});
        x += step;
      }
      return count;
    }
  }

  Sampler sampler;
  ChannelParam* param;
  Engine* engine;
  double rateRatio;    // buffer rate / engine rate
  double endPosition;  // frames + 8: the taps and the spatializer hear 8 silent frames
  bool inLoop = false;
};

// A mono voice rendered binaurally: distance gain with smoothed gains, a
// one-pole low-pass, then the spatializer source. Source is the spatializer's
// source type; tests may put a recorder in its place.
template <class Sampler, class Source = Spatializer::Source>
class SpatializedRenderer final : public RendererBase<Sampler> {
  static_assert(Sampler::kNumChannels == 1, "spatialized voices are mono");

 public:
  // Gains below this have not been set yet.
  static constexpr float kUnsetGain = -10000.0f;
  static constexpr float kSmoothing = 0.1f;  // fraction of the remaining gap per sample

  SpatializedRenderer(const Channel::RendererBuildParam& build, double engineSamplingRate,
                      std::shared_ptr<Source> source)
      : RendererBase<Sampler>(build, engineSamplingRate), source(std::move(source)) {}

  bool Render(Engine* /*engine*/, int offset, int count,
              ThreadLocalBuffer& buffers) noexcept override {
    const ChannelParam& p = *this->param;
    double x = p.position;
    const double step = p.speed * this->rateRatio;
    const float c = p.lowPassCoef;
    const Vector3 position = p.sourcePosition;

    // Distance gain from the squared distance, so no square root unless needed.
    const float d2 = (position.x * position.x + position.y * position.y +
                      position.z * position.z) / p.referenceDistance;
    const float distanceGain = d2 < 1.0f ? 1.0f : 1.0f / std::sqrt(d2);
    const float targetGain = p.gain * distanceGain;
    const float targetReverb = p.reverbGain * std::sqrt(distanceGain);
    if (currentGain < -1000.0f) {
      currentGain = targetGain;
      currentReverbGain = targetReverb;
    }

    float* reverbSend = buffers.reverbSend.data() + offset;
    float* scratch = buffers.sourceScratch.data() + offset;
    float* dryMonoSum = buffers.dryMonoSum.data() + offset;
    const Sampler sampler = this->sampler;
    float y = filterState;
    float gain = currentGain;
    float reverbGain = currentReverbGain;
    bool ended = false;
    const auto run = [&](auto filtered) ORV_LOOP_INLINE {
      const auto mixSample = [&](int k, double at, bool inLoop, auto checked) ORV_LOOP_INLINE {
        const float s = sampler.template GetSample<decltype(checked)::value>(at, 0, inLoop);
        reverbSend[k] += reverbGain * s;
        y = LowPass<decltype(filtered)::value>(y, s, c);
        const float out = gain * y;
        scratch[k] = out;
        dryMonoSum[k] += out;
        gain += (targetGain - gain) * kSmoothing;
        reverbGain += (targetReverb - reverbGain) * kSmoothing;
      };
      return this->Advance(x, step, count, ended, mixSample);
    };
    const int produced = c == 1.0f ? run(kUnfiltered) : run(kFiltered);

    filterState = y;
    currentGain = gain;
    currentReverbGain = reverbGain;
    this->param->position = x;
    // Also with a partial or empty count: the spatializer must hear the
    // source in every block it plays, and its last samples.
    source->Mix(scratch, offset, produced, position);
    return !ended;
  }

 private:
  float currentGain = kUnsetGain;
  float currentReverbGain = kUnsetGain;
  float filterState = 0.0f;
  std::shared_ptr<Source> source;
};

// A mono voice sent equally to both output channels.
template <class Sampler>
class NonSpatializedMonoRenderer final : public RendererBase<Sampler> {
  static_assert(Sampler::kNumChannels == 1, "mono renderer");

 public:
  using RendererBase<Sampler>::RendererBase;

  bool Render(Engine* /*engine*/, int offset, int count,
              ThreadLocalBuffer& buffers) noexcept override {
    const ChannelParam& p = *this->param;
    double x = p.position;
    const double step = p.speed * this->rateRatio;
    const float gain = p.gain;
    const float reverbGain = p.reverbGain;
    const float c = p.lowPassCoef;

    float* reverbSend = buffers.reverbSend.data() + offset;
    float* mainMix = buffers.mainMix.data() + 2 * offset;
    const Sampler sampler = this->sampler;
    float y = filterState;
    bool ended = false;
    const auto run = [&](auto filtered) ORV_LOOP_INLINE {
      const auto mixSample = [&](int k, double at, bool inLoop, auto checked) ORV_LOOP_INLINE {
        const float s = sampler.template GetSample<decltype(checked)::value>(at, 0, inLoop);
        reverbSend[k] += reverbGain * s;
        y = LowPass<decltype(filtered)::value>(y, s, c);
        const float out = gain * y;
        mainMix[2 * k] += out;
        mainMix[2 * k + 1] += out;
      };
      this->Advance(x, step, count, ended, mixSample);
    };
    c == 1.0f ? run(kUnfiltered) : run(kFiltered);

    filterState = y;
    this->param->position = x;
    return !ended;
  }

 private:
  float filterState = 0.0f;
};

// A stereo voice: buffer channel 0 to the left, channel 1 to the right. Never
// spatialized; the host side applies distance to stereo voices itself.
template <class Sampler>
class NonSpatializedMultiChannelRenderer final : public RendererBase<Sampler> {
  static_assert(Sampler::kNumChannels == 2, "stereo renderer");

 public:
  using RendererBase<Sampler>::RendererBase;

  bool Render(Engine* /*engine*/, int offset, int count,
              ThreadLocalBuffer& buffers) noexcept override {
    const ChannelParam& p = *this->param;
    double x = p.position;
    const double step = p.speed * this->rateRatio;
    const float gain = p.gain;
    const float reverbGain = p.reverbGain * 0.5f;  // the send takes the mid signal
    const float c = p.lowPassCoef;

    float* reverbSend = buffers.reverbSend.data() + offset;
    float* mainMix = buffers.mainMix.data() + 2 * offset;
    const Sampler sampler = this->sampler;
    float yLeft = filterStateLeft;
    float yRight = filterStateRight;
    bool ended = false;
    const auto run = [&](auto filtered) ORV_LOOP_INLINE {
      const auto mixSample = [&](int k, double at, bool inLoop, auto checked) ORV_LOOP_INLINE {
        constexpr bool kChecked = decltype(checked)::value;
        const float left = sampler.template GetSample<kChecked>(at, 0, inLoop);
        const float right = sampler.template GetSample<kChecked>(at, 1, inLoop);
        reverbSend[k] += (left + right) * reverbGain;
        yLeft = LowPass<decltype(filtered)::value>(yLeft, left, c);
        yRight = LowPass<decltype(filtered)::value>(yRight, right, c);
        mainMix[2 * k] += gain * yLeft;
        mainMix[2 * k + 1] += gain * yRight;
      };
      this->Advance(x, step, count, ended, mixSample);
    };
    c == 1.0f ? run(kUnfiltered) : run(kFiltered);

    filterStateLeft = yLeft;
    filterStateRight = yRight;
    this->param->position = x;
    return !ended;
  }

 private:
  float filterStateLeft = 0.0f;
  float filterStateRight = 0.0f;
};

#undef ORV_LOOP_INLINE

}  // namespace orv
