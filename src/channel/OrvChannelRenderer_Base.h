// What the three renderer kinds share: the cursor walk over a span
// (RendererBase::Fill), which hands whole runs of cursor positions to the
// sampler's ReadRun and keeps the per-sample form for the few samples at
// buffer and loop edges. ORV_REALTIME throughout.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

#include "channel/OrvChannelRenderer.h"
#include "channel/OrvChannelRenderer_Kernels.h"
#include "channel/OrvChannelRenderer_Samplers.h"

namespace orv {

// 2^k for k in [-1022, 1023], built from its bits: scaling by it is exact
// (or rounds as ldexp would), and costs no library call per run.
inline double PowerOfTwo(int k) noexcept {
  return std::bit_cast<double>(static_cast<std::uint64_t>(k + 1023) << 52);
}

// How many additions of step to a cursor x give exactly x + k * delta, k = 1
// .. the result, with delta the same for all of them (at most limit). While
// the sum stays in x's binade [2^(e-1), 2^e), every addition rounds step to
// the same multiple of the binade's ulp (a tie would round to even, which
// depends on the cursor: no run), so the cursor advances by that multiple,
// and k times it stays a representable whole number of ulps: the products
// and sums below are exact. Returns 0 where this does not hold (x not
// positive, or so small that its ulp is out of PowerOfTwo's reach; step not
// positive, or too large for the binade): the caller then steps sample by
// sample, which gives the same values.
inline int ExactRunLength(double x, double step, int limit, double& delta) noexcept {
  if (!(x >= 0x1p-969 && x < 0x1p62 && step > 0.0)) return 0;
  const auto bits = std::bit_cast<std::uint64_t>(x);
  const int e = static_cast<int>(bits >> 52) - 1022;  // x in [2^(e-1), 2^e)
  const double q = step * PowerOfTwo(53 - e);         // step in ulps of x
  if (!(q < 0x1p52)) return 0;
  const double whole = std::floor(q);
  const double fraction = q - whole;
  if (fraction == 0.5) return 0;
  const std::int64_t d = static_cast<std::int64_t>(fraction < 0.5 ? whole : whole + 1.0);
  // x in ulps, in [2^52, 2^53): the significand with its leading bit.
  constexpr std::uint64_t kLeadingBit = std::uint64_t{1} << 52;
  const auto ulps = static_cast<std::int64_t>((bits & (kLeadingBit - 1)) | kLeadingBit);
  int m = limit;
  if (d > 0) {
    // Additions k with ulps + k * d < 2^53 stay in the binade.
    const std::int64_t room = ((std::int64_t{1} << 53) - ulps - 1) / d;
    if (room < m) m = static_cast<int>(room);
  }
  delta = static_cast<double>(d) * PowerOfTwo(e - 53);
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

  // Refreshes the sampler's cached loop bounds (nothing to do for one-shots)
  // and starts a fade-out once one is asked for.
  void ParamUpdated() noexcept override {
    sampler.ParamUpdated();
    if (param->fadeOutFrames > 0 && fadeStep == 0.0f)
      fadeStep = 1.0f / static_cast<float>(param->fadeOutFrames);
  }

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
        int frame[kSpan];
        float fraction[kSpan];
        if (delta != 1.0) SplitRunCursors(run, r0, delta, frame, fraction);
        const CursorRun cursors{base, r0, delta, run, frame, fraction};
        for (int c = 0; c < kChannels; ++c) sampler.ReadRun(cursors, c, out[c] + k);
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

  // The cursor step a call starts from: where an earlier speed change's
  // glide has got to (voices whose gains glide), else the target itself.
  double StartStep(double target) noexcept {
    if (!param->shouldGlideGains || !isStepSet) currentStep = target;
    isStepSet = true;
    return currentStep;
  }
  // The next span of at most remaining frames, as every kind walks it: read
  // by Fill, the step moved on towards target, the fade-out applied. Returns
  // the frames read.
  int NextSpan(double& x, double& step, double target, int remaining, bool& ended,
               float* const (&out)[Sampler::kNumChannels]) noexcept {
    const int n = Fill(x, step, std::min(StepSpan(step, target), remaining), ended, out);
    AdvanceStep(step, target, n);
    Fade(n, out, ended);
    return n;
  }
  // Frames the next span may cover: short stretches while the step glides.
  static int StepSpan(double step, double target) noexcept {
    return step == target ? kSpan : kStepGlideSpan;
  }
  // Moves step n frames on towards target, closing the gap as the gain glide
  // does: a speed change is a short slide in pitch, not a jump.
  static void AdvanceStep(double& step, double target, int n) noexcept {
    if (step == target) return;
    step = target + (step - target) * static_cast<double>(kGlide[n]);
    if (std::fabs(step - target) <= 1e-9 * std::fabs(target)) step = target;
  }

  // Scales the n samples Fill just read by the fade-out's linear ramp, if one
  // runs, and sets ended once the ramp has reached silence. A gain ramp to
  // zero instead of a cut: a stop must not click.
  void Fade(int n, float* const (&out)[Sampler::kNumChannels], bool& ended) noexcept {
    if (fadeStep == 0.0f) [[likely]]
      return;
    for (int c = 0; c < Sampler::kNumChannels; ++c) FadeInPlace(n, out[c], fadeGain, fadeStep);
    fadeGain -= static_cast<float>(n) * fadeStep;
    if (fadeGain <= 0.0f) ended = true;
  }

  Sampler sampler;
  ChannelParam* param;
  static constexpr int kStepGlideSpan = 16;
  double currentStep = 0.0;  // the cursor step reached; valid once isStepSet
  bool isStepSet = false;
  float fadeGain = 1.0f;  // the fade-out's gain at the next sample
  float fadeStep = 0.0f;  // its decrease per sample; 0 while no fade runs
  double rateRatio;       // buffer rate / engine rate
  double endPosition;     // frames + 8: the taps and the spatializer hear 8 silent frames
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
    const double lower = static_cast<double>(sampler.DirectBegin(inLoop)) +
                         static_cast<double>(Sampler::kTapsBefore);
    double upper =
        static_cast<double>(sampler.DirectEnd()) - static_cast<double>(Sampler::kTapsAfter);
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

}  // namespace orv
