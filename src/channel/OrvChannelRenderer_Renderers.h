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
#include <cmath>
#include <memory>

#include "channel/OrvChannelRenderer.h"
#include "channel/OrvChannelRenderer_Base.h"
#include "channel/OrvChannelRenderer_Kernels.h"
#include "spatializer/OrvSpatializer.h"

namespace orv {

// A renderer's smoothed gains start at kUnsetGain; anything below
// kUnsetBelow counts as not set yet, so that the mark needs no exact compare.
inline constexpr float kUnsetGain = -10000.0f;
inline constexpr float kUnsetBelow = -1000.0f;
inline bool IsUnset(float gain) noexcept { return gain < kUnsetBelow; }

// A smoothed gain's glide over one call: from where it has got to when the
// voice's gains glide (the first call starts at target), else steady at
// target, the plain form.
inline GlidingGain StartGlide(float& current, float target, bool shouldGlide) noexcept {
  if (IsUnset(current)) current = target;
  return {shouldGlide ? current : target, target};
}

// A mono voice rendered binaurally: distance gain with smoothed gains, a
// one-pole low-pass, then the spatializer source. Source is the spatializer's
// source type; tests may put a recorder in its place.
template <class Sampler, class Source = Spatializer::Source>
class SpatializedRenderer final : public RendererBase<Sampler> {
  static_assert(Sampler::kNumChannels == 1, "spatialized voices are mono");

 public:
  SpatializedRenderer(const Channel::RendererBuildParam& build, std::shared_ptr<Source> source)
      : RendererBase<Sampler>(build), source(std::move(source)) {}

  bool Render(int offset, int count, ThreadLocalBuffer& buffers) noexcept override {
    const ChannelParam& p = *this->param;
    double x = p.position;
    const double targetStep = p.speed * this->rateRatio;
    double step = this->StartStep(targetStep);
    const float c = p.lowPassCoef;
    const Vector3 position = p.sourcePosition;

    // Distance gain from the squared distance, so no square root unless needed.
    const float d2 = (position.x * position.x + position.y * position.y + position.z * position.z) /
                     p.referenceDistance;
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
    if (!std::isfinite(position.x) || !std::isfinite(position.y) || !std::isfinite(position.z) ||
        !std::isfinite(targetGain) || !std::isfinite(targetReverb)) [[unlikely]] {
      currentGain = kUnsetGain;
      currentReverbGain = kUnsetGain;
      filterState = 0.0f;
      for (int k = 0; k < count && !ended;) {
        float span[kSpan];  // read only to move the cursor as the voice would
        k += this->NextSpan(x, step, targetStep, count - k, ended, {span});
      }
      this->currentStep = step;
      this->param->position = x;
      return !ended;
    }

    if (IsUnset(currentGain)) {
      currentGain = targetGain;
      currentReverbGain = targetReverb;
    }
    GlidingGain gain{currentGain, targetGain};
    GlidingGain reverbGain{currentReverbGain, targetReverb};
    // Mixed straight into the spatializer's input while the voice stays on
    // its angle; through the scratch buffer and Mix when it moves.
    float* const input = source->SteadyInput(offset, position, buffers.lane);
    float* const mixed = input ? input : scratch;
    if (!input) std::fill(scratch, scratch + count, 0.0f);
    float y = filterState;
    int produced = 0;
    while (produced < count && !ended) {  // Fill returns less only at the end
      float s[kSpan];
      const int n = this->NextSpan(x, step, targetStep, count - produced, ended, {s});
      if (reverbGain.IsSteady()) {
        AddScaled(n, s, reverbGain.value, reverbSend + produced);
      } else {
        AddGliding(n, s, reverbGain, reverbSend + produced);
      }
      // Unfiltered, y is the sample itself.
      if (c != 1.0f) {
        LowPassInPlace(n, s, c, y);
      } else if (n > 0) {
        y = s[n - 1];
      }
      if (gain.IsSteady()) {
        MixSource(n, s, gain.value, mixed + produced, dryMonoSum + produced);
      } else {
        MixSourceGliding(n, s, gain, mixed + produced, dryMonoSum + produced);
      }
      gain.Advance(n);
      reverbGain.Advance(n);
      produced += n;
    }

    filterState = y;
    currentGain = gain.value;
    currentReverbGain = reverbGain.value;
    this->currentStep = step;
    this->param->position = x;
    // Also with a partial or empty count: the spatializer must hear the
    // source in every block it plays, and its last samples.
    if (!input) source->Mix(scratch, offset, produced, position, buffers.lane);
    return !ended;
  }

  int SpatialGroup() const noexcept override { return source->Group(); }

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
    const double targetStep = p.speed * this->rateRatio;
    double step = this->StartStep(targetStep);
    const float c = p.lowPassCoef;
    GlidingGain gain = StartGlide(currentGain, p.gain, p.shouldGlideGains);
    GlidingGain reverbGain = StartGlide(currentReverbGain, p.reverbGain, p.shouldGlideGains);

    float y = filterState;
    bool ended = !this->BeginWalk(x, step);
    for (int done = 0; done < count && !ended;) {
      float s[kSpan];
      const int n = this->NextSpan(x, step, targetStep, count - done, ended, {s});
      if (reverbGain.IsSteady()) {
        AddScaled(n, s, reverbGain.value, buffers.reverbSend.data() + offset + done);
      } else {
        AddGliding(n, s, reverbGain, buffers.reverbSend.data() + offset + done);
      }
      if (c != 1.0f) {
        LowPassInPlace(n, s, c, y);
      } else if (n > 0) {
        y = s[n - 1];
      }
      if (gain.IsSteady()) {
        AddScaledToBoth(n, s, gain.value, buffers.mainMix.data() + 2 * (offset + done));
      } else {
        ScaleGliding(n, s, gain);
        AddScaledToBoth(n, s, 1.0f, buffers.mainMix.data() + 2 * (offset + done));
      }
      gain.Advance(n);
      reverbGain.Advance(n);
      done += n;
    }

    filterState = y;
    currentGain = gain.value;
    currentReverbGain = reverbGain.value;
    this->currentStep = step;
    this->param->position = x;
    return !ended;
  }

 private:
  float filterState = 0.0f;
  // Read only while gliding, which starts from the first targets.
  float currentGain = kUnsetGain;
  float currentReverbGain = kUnsetGain;
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
    const double targetStep = p.speed * this->rateRatio;
    double step = this->StartStep(targetStep);
    const float c = p.lowPassCoef;
    const float reverbTarget = p.reverbGain * 0.5f;  // the send takes the mid signal
    GlidingGain gain = StartGlide(currentGain, p.gain, p.shouldGlideGains);
    GlidingGain reverbGain = StartGlide(currentReverbGain, reverbTarget, p.shouldGlideGains);

    float yLeft = filterStateLeft;
    float yRight = filterStateRight;
    bool ended = !this->BeginWalk(x, step);
    for (int done = 0; done < count && !ended;) {
      float left[kSpan], right[kSpan];
      const int n = this->NextSpan(x, step, targetStep, count - done, ended, {left, right});
      if (reverbGain.IsSteady()) {
        AddMid(n, left, right, reverbGain.value, buffers.reverbSend.data() + offset + done);
      } else {
        AddMidGliding(n, left, right, reverbGain, buffers.reverbSend.data() + offset + done);
      }
      if (c != 1.0f) {
        LowPassInPlace(n, left, c, yLeft);
        LowPassInPlace(n, right, c, yRight);
      } else if (n > 0) {
        yLeft = left[n - 1];
        yRight = right[n - 1];
      }
      if (gain.IsSteady()) {
        AddScaledPair(n, left, right, gain.value, buffers.mainMix.data() + 2 * (offset + done));
      } else {
        ScaleGliding(n, left, gain);
        ScaleGliding(n, right, gain);
        AddScaledPair(n, left, right, 1.0f, buffers.mainMix.data() + 2 * (offset + done));
      }
      gain.Advance(n);
      reverbGain.Advance(n);
      done += n;
    }

    filterStateLeft = yLeft;
    filterStateRight = yRight;
    currentGain = gain.value;
    currentReverbGain = reverbGain.value;
    this->currentStep = step;
    this->param->position = x;
    return !ended;
  }

 private:
  float filterStateLeft = 0.0f;
  float filterStateRight = 0.0f;
  // Read only while gliding, which starts from the first targets.
  float currentGain = kUnsetGain;
  float currentReverbGain = kUnsetGain;
};

}  // namespace orv
