// The three renderer kinds, each a template over its sampler: they turn a
// voice's buffer into one worker's mix buffers, advance the play cursor and
// report when a one-shot sound has ended. Parameters are read once per call
// (the channel cuts calls at update time stamps). Each call works in spans of
// up to kSpan frames: first the sampler reads the span (RendererBase::Fill),
// then the kind mixes it, in loops without a per-sample dependency wherever
// the arithmetic allows, so the compiler vectorises them.
//
// Render is ORV_REALTIME: it writes only the worker's ThreadLocalBuffer (sized
// by the engine to cover offset + count) and its own channel's position, and
// allocates nothing. It does not guard the dry mix against NaN parameters.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <memory>
#include <type_traits>

#include "channel/OrvChannelRenderer.h"
#include "channel/OrvChannelRenderer_Samplers.h"
#include "spatializer/OrvSpatializer.h"

namespace orv {

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

// Frames a renderer reads and mixes at a time: the span buffers live on the
// stack (a stereo span is 2 KiB).
inline constexpr int kSpan = 256;

// How many additions of step to a cursor x give exactly x + k * delta, k = 1
// .. the result, with delta the same for all of them (at most limit). While
// the sum stays in x's binade [2^(e-1), 2^e), every addition rounds step to
// the same multiple of the binade's ulp (a tie would round to even, which
// depends on the cursor: no run), so the cursor advances by that multiple,
// and k times it stays a representable whole number of ulps: the products
// and sums below are exact. Returns 0 where this does not hold (x not
// positive and normal, step not positive, step too large for the binade).
inline int ExactRunLength(double x, double step, int limit, double& delta) noexcept {
  if (!(x >= 0x1p-1000 && x < 0x1p62 && step > 0.0)) return 0;
  int e = 0;
  std::frexp(x, &e);                          // x in [2^(e-1), 2^e)
  const double q = std::ldexp(step, 53 - e);  // step in ulps of x: exact
  if (!(q < 0x1p52)) return 0;
  const double whole = std::floor(q);
  const double fraction = q - whole;
  if (fraction == 0.5) return 0;
  const std::int64_t d = static_cast<std::int64_t>(fraction < 0.5 ? whole : whole + 1.0);
  const auto ulps = static_cast<std::int64_t>(std::ldexp(x, 53 - e));  // in [2^52, 2^53)
  int m = limit;
  if (d > 0) {
    // Additions k with ulps + k * d < 2^53 stay in the binade.
    const std::int64_t room = ((std::int64_t{1} << 53) - ulps - 1) / d;
    if (room < m) m = static_cast<int>(room);
  }
  delta = std::ldexp(static_cast<double>(d), e - 53);
  return m;
}

// What all kinds share: the sampler, the cursor walk and the one-shot end.
template <class Sampler>
class RendererBase : public Channel::Renderer {
 public:
  explicit RendererBase(const Channel::RendererBuildParam& build)
      : sampler(*build.buffer, build.param),
        param(build.param),
        rateRatio(build.buffer->GetSamplingRate() / build.samplingRate),
        endPosition(static_cast<double>(build.buffer->GetNumSamples()) + 8.0) {}

  // Refreshes the sampler's cached loop bounds (nothing to do for one-shots).
  void ParamUpdated() noexcept override { sampler.ParamUpdated(); }

 protected:
  // Starts a call's walk of the cursor x; false if the voice is already over:
  // a cursor that is not finite (an infinite position or speed passes
  // validation; such a voice would otherwise never end, and a looping one
  // would wrap forever), or a backwards one-shot with nothing left to hear.
  bool BeginWalk(double& x, double step) noexcept {
    if (!std::isfinite(x)) [[unlikely]]
      return false;
    if constexpr (Sampler::kLooped) {
      WrapLoopCursor(x, static_cast<double>(sampler.LoopStart()),
                     static_cast<double>(sampler.LoopEnd()));  // finite, so it cannot fail
    } else {
      // A buffer with a negative sampling rate plays backwards: once its
      // cursor is eight frames before the start there is nothing left to
      // hear, and a one-shot voice that nobody can stop must end.
      if (step < 0.0 && x < -8.0) [[unlikely]]
        return false;
    }
    return true;
  }

  // Reads up to count (<= kSpan) samples along the cursor x into out[c][k],
  // one array per buffer channel, and returns how many were produced: the
  // values GetSample gives with x advanced by one addition of step per sample,
  // and x itself left where those additions leave it. Sets ended when the
  // voice is over: a one-shot cursor at or past endPosition, or a looping
  // cursor that is no longer finite. Runs whose taps all read directly go
  // through the sampler's ReadRun; the few samples at buffer and loop edges,
  // binade changes of the cursor and backwards cursors take the per-sample
  // form. x comes from BeginWalk or an earlier Fill of the same call.
  int Fill(double& x, double step, int count, bool& ended,
           float* const (&out)[Sampler::kNumChannels]) noexcept {
    constexpr int kChannels = Sampler::kNumChannels;
    [[maybe_unused]] const double start = LoopStartOrZero();
    [[maybe_unused]] const double end = LoopEndOrZero();
    int k = 0;
    while (k < count) {
      double delta = 0.0;
      const int run = PlainRun(x, step, count - k, delta);
      if (run > 0) {
        const auto base = static_cast<std::int64_t>(x);
        const double r0 = x - static_cast<double>(base);
        for (int c = 0; c < kChannels; ++c) sampler.ReadRun(base, r0, delta, run, c, out[c] + k);
        x += static_cast<double>(run) * delta;  // exact: see ExactRunLength
        k += run;
        if constexpr (Sampler::kLooped) {
          inLoop = inLoop || x >= start;
          WrapLoopCursor(x, start, end);  // finite
        }
        continue;
      }
      if constexpr (Sampler::kLooped) {
        for (int c = 0; c < kChannels; ++c) out[c][k] = sampler.GetSample(x, c, inLoop);
        ++k;
        x += step;
        inLoop = inLoop || x >= start;
        if (!WrapLoopCursor(x, start, end)) [[unlikely]] {
          ended = true;
          break;
        }
      } else {
        if (x >= endPosition) {
          ended = true;
          break;
        }
        for (int c = 0; c < kChannels; ++c) out[c][k] = sampler.GetSample(x, c, false);
        ++k;
        x += step;
      }
    }
    return k;
  }

  Sampler sampler;
  ChannelParam* param;
  double rateRatio;    // buffer rate / engine rate
  double endPosition;  // frames + 8: the taps and the spatializer hear 8 silent frames
  bool inLoop = false;

 private:
  double LoopStartOrZero() const noexcept {
    if constexpr (Sampler::kLooped) return static_cast<double>(sampler.LoopStart());
    return 0.0;
  }
  double LoopEndOrZero() const noexcept {
    if constexpr (Sampler::kLooped) return static_cast<double>(sampler.LoopEnd());
    return 0.0;
  }

  // Samples from x on (at most limit) that form one exact run (see
  // ExactRunLength) whose taps all read directly; 0 if the sample at x does
  // not. Inside the run no loop wrap, loop entry or end can happen: the
  // cursor stays below the direct range's end and, until the loop is
  // entered, below loopStart.
  int PlainRun(double x, double step, int limit, double& delta) const noexcept {
    int m = ExactRunLength(x, step, limit, delta);
    // Frames of one run must fit an int, relative to its first frame.
    if (m == 0 || !(delta < 0x1p22)) return 0;
    const double lower =
        static_cast<double>(sampler.DirectBegin(inLoop)) + static_cast<double>(Sampler::kTapsBefore);
    double upper = static_cast<double>(sampler.DirectEnd()) - static_cast<double>(Sampler::kTapsAfter);
    if constexpr (Sampler::kLooped) {
      const double start = static_cast<double>(sampler.LoopStart());
      if (!inLoop && start < upper) upper = start;
    }
    if (!(x >= lower && x < upper)) return 0;
    // The last cursor of the run below upper. The products are exact, so
    // the comparisons are too; the division only gives the first guess.
    if (delta > 0.0 && x + static_cast<double>(m - 1) * delta >= upper) {
      const double guess = std::floor((upper - x) / delta) + 1.0;
      const int longest = m;
      m = guess < 1.0 ? 1 : (guess < longest ? static_cast<int>(guess) : longest);
      while (m > 1 && x + static_cast<double>(m - 1) * delta >= upper) --m;
      while (m < longest && x + static_cast<double>(m) * delta < upper) ++m;
    }
    return m;
  }
};

// The gain glide of spatialized voices: a fraction kGlideRate of the remaining
// gap per sample, g += (target - g) * rate, which after k samples leaves
// (1 - rate)^k of the gap. kGlide[k] holds that factor, so a span computes
// each sample's gain on its own instead of as a chain.
inline constexpr float kGlideRate = 0.1f;
inline constexpr std::array<float, kSpan + 1> kGlide = [] {
  std::array<float, kSpan + 1> factors{};
  double f = 1.0;
  for (float& factor : factors) {
    factor = static_cast<float>(f);
    f *= 1.0 - static_cast<double>(kGlideRate);
  }
  return factors;
}();

// One smoothed gain over a span of n samples: gain k is target + gap *
// kGlide[k] (the closed form of the per-sample glide, equal within rounding).
struct GlidingGain {
  float value;   // gain at the span's first sample
  float target;

  bool IsSteady() const noexcept { return value == target; }
  float At(int k) const noexcept { return target + (value - target) * kGlide[k]; }
  // Moves value n samples on. A gap that has decayed below any audible
  // size is closed: a target of 0 would otherwise be approached through
  // subnormal numbers.
  void Advance(int n) noexcept {
    value = At(n);
    if (std::fabs(value - target) < 1e-20f) value = target;
  }
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
  static constexpr float kSmoothing = kGlideRate;  // fraction of the remaining gap per sample

  SpatializedRenderer(const Channel::RendererBuildParam& build, std::shared_ptr<Source> source)
      : RendererBase<Sampler>(build), source(std::move(source)) {}

  bool Render(int offset, int count, ThreadLocalBuffer& buffers) noexcept override {
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

    float* reverbSend = buffers.reverbSend.data() + offset;
    float* scratch = buffers.sourceScratch.data() + offset;
    float* dryMonoSum = buffers.dryMonoSum.data() + offset;
    bool ended = !this->BeginWalk(x, step);

    // A voice without a usable direction or gain (a NaN position, or one at
    // the listener with reference distance 0) is silent until it has one
    // again: it must not reach the spatializer's shared angle inputs. Its
    // cursor runs on, and its glide starts afresh.
    if (!std::isfinite(position.x) || !std::isfinite(position.y) ||
        !std::isfinite(position.z) || !std::isfinite(targetGain) ||
        !std::isfinite(targetReverb)) [[unlikely]] {
      currentGain = kUnsetGain;
      currentReverbGain = kUnsetGain;
      filterState = 0.0f;
      for (int k = 0; k < count && !ended;) {
        float span[kSpan];  // read only to move the cursor as the voice would
        k += this->Fill(x, step, std::min(kSpan, count - k), ended, {span});
      }
      this->param->position = x;
      return !ended;
    }

    if (currentGain < -1000.0f) {
      currentGain = targetGain;
      currentReverbGain = targetReverb;
    }
    GlidingGain gain{currentGain, targetGain};
    GlidingGain reverbGain{currentReverbGain, targetReverb};
    float y = filterState;
    int produced = 0;
    while (produced < count && !ended) {  // Fill returns less only at the end
      float s[kSpan];
      const int n = this->Fill(x, step, std::min(kSpan, count - produced), ended, {s});
      float* send = reverbSend + produced;
      float* out = scratch + produced;
      float* dry = dryMonoSum + produced;
      if (c == 1.0f) {
        // Unfiltered: y is the sample, so no chain is left when the gains
        // are steady.
        if (gain.IsSteady() && reverbGain.IsSteady()) {
          const float g = gain.value, r = reverbGain.value;
          for (int k = 0; k < n; ++k) {
            send[k] += r * s[k];
            out[k] = g * s[k];
            dry[k] += out[k];
          }
        } else {
          for (int k = 0; k < n; ++k) {
            send[k] += reverbGain.At(k) * s[k];
            out[k] = gain.At(k) * s[k];
            dry[k] += out[k];
          }
        }
        if (n > 0) y = s[n - 1];
      } else {
        for (int k = 0; k < n; ++k) {
          send[k] += reverbGain.At(k) * s[k];
          y = LowPass<true>(y, s[k], c);
          out[k] = gain.At(k) * y;
          dry[k] += out[k];
        }
      }
      gain.Advance(n);
      reverbGain.Advance(n);
      produced += n;
    }

    filterState = y;
    currentGain = gain.value;
    currentReverbGain = reverbGain.value;
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

  bool Render(int offset, int count, ThreadLocalBuffer& buffers) noexcept override {
    const ChannelParam& p = *this->param;
    double x = p.position;
    const double step = p.speed * this->rateRatio;
    const float gain = p.gain;
    const float reverbGain = p.reverbGain;
    const float c = p.lowPassCoef;

    float y = filterState;
    bool ended = !this->BeginWalk(x, step);
    for (int done = 0; done < count && !ended;) {
      float s[kSpan];
      const int n = this->Fill(x, step, std::min(kSpan, count - done), ended, {s});
      float* send = buffers.reverbSend.data() + offset + done;
      float* mix = buffers.mainMix.data() + 2 * (offset + done);
      for (int k = 0; k < n; ++k) send[k] += reverbGain * s[k];
      if (c == 1.0f) {
        for (int k = 0; k < n; ++k) {
          mix[2 * k] += gain * s[k];
          mix[2 * k + 1] += gain * s[k];
        }
        if (n > 0) y = s[n - 1];
      } else {
        for (int k = 0; k < n; ++k) {
          y = LowPass<true>(y, s[k], c);
          mix[2 * k] += gain * y;
          mix[2 * k + 1] += gain * y;
        }
      }
      done += n;
    }

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

  bool Render(int offset, int count, ThreadLocalBuffer& buffers) noexcept override {
    const ChannelParam& p = *this->param;
    double x = p.position;
    const double step = p.speed * this->rateRatio;
    const float gain = p.gain;
    const float reverbGain = p.reverbGain * 0.5f;  // the send takes the mid signal
    const float c = p.lowPassCoef;

    float yLeft = filterStateLeft;
    float yRight = filterStateRight;
    bool ended = !this->BeginWalk(x, step);
    for (int done = 0; done < count && !ended;) {
      float left[kSpan], right[kSpan];
      const int n = this->Fill(x, step, std::min(kSpan, count - done), ended, {left, right});
      float* send = buffers.reverbSend.data() + offset + done;
      float* mix = buffers.mainMix.data() + 2 * (offset + done);
      for (int k = 0; k < n; ++k) send[k] += (left[k] + right[k]) * reverbGain;
      if (c == 1.0f) {
        for (int k = 0; k < n; ++k) {
          mix[2 * k] += gain * left[k];
          mix[2 * k + 1] += gain * right[k];
        }
        if (n > 0) {
          yLeft = left[n - 1];
          yRight = right[n - 1];
        }
      } else {
        for (int k = 0; k < n; ++k) {
          yLeft = LowPass<true>(yLeft, left[k], c);
          yRight = LowPass<true>(yRight, right[k], c);
          mix[2 * k] += gain * yLeft;
          mix[2 * k + 1] += gain * yRight;
        }
      }
      done += n;
    }

    filterStateLeft = yLeft;
    filterStateRight = yRight;
    this->param->position = x;
    return !ended;
  }

 private:
  float filterStateLeft = 0.0f;
  float filterStateRight = 0.0f;
};

}  // namespace orv
