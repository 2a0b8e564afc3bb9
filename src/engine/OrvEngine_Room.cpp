// The engine's room stages: the three reverb layers with their diffuser,
// pre-delays and band-passes, the 70 Hz bass enhancer and the equaliser of
// the binaural signal. All run on the render thread, on slot 0's buffers
// after the slots have been folded together.
#include <algorithm>
#include <cmath>

#include "engine/OrvEngine.h"

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

namespace orv {
namespace {

// A dying tail ends in subnormal numbers, and the recirculating states never
// leave that range: a one-pole step y -= y·k rounds to no change there, so a
// few units in the last place of a subnormal stay forever, and every sample
// of every silent block then computes with subnormals (half again the cost of
// the room on the machines measured, much more on some others). Flushing them
// to zero while the room stages run changes nothing above 1e-38 and lets the
// tail end in exact zeros. The caller's floating-point mode is restored.
class ScopedFlushSubnormals {
 public:
#if defined(__SSE__)
  // MXCSR flush-to-zero (bit 15) and denormals-are-zero (bit 6).
  static constexpr unsigned kFlags = 0x8040u;
  ScopedFlushSubnormals() noexcept : saved(_mm_getcsr()) { _mm_setcsr(saved | kFlags); }
  ~ScopedFlushSubnormals() { _mm_setcsr(saved); }

 private:
  unsigned saved;
#else
  ScopedFlushSubnormals() noexcept {}
#endif
  ScopedFlushSubnormals(const ScopedFlushSubnormals&) = delete;
  ScopedFlushSubnormals& operator=(const ScopedFlushSubnormals&) = delete;
};

// Every sample entering a feedback path is finite: a NaN or an infinity that
// gets in stays in the recirculation for good (inf - inf = NaN).
inline float FiniteOrZero(float v) noexcept { return std::isfinite(v) ? v : 0.0f; }

// Largest reverb input passed on. Far beyond any audio level, yet small
// enough that no parameter set can make the network overflow: the lines gain
// at most a few orders of magnitude on a sustained input (loop gain < 1), and
// the Hadamard sums of sixteen lines stay inside float range. An overflow
// would turn into infinities and then NaN that the reverb, which has no
// reset, would keep for good.
constexpr float kMaxReverbInput = 1e20f;

// Reverb settings as the setters accept them: a NaN or negative size or time
// becomes 0, which the setters raise to their smallest value.
inline float NonNegative(float v) noexcept { return v >= 0.0f ? v : 0.0f; }

// Pre-delay in samples, kept inside the line's ring (delays 0 .. size - 1).
// The host never asks for one; a bad value must not stop the engine.
inline float PreDelaySamples(float delay, const ExactDelayLine& line) noexcept {
  if (!(delay >= 0.0f)) return 0.0f;  // negative or NaN
  return std::min(delay, static_cast<float>(line.GetSize() - 1));
}

// Band-pass of the one-pole pairs before the medium and long layers: a
// low-pass minus a slower low-pass that tracks and removes the lowest
// frequencies.
constexpr float kMediumLowPassCoef = 0.3f;
constexpr float kMediumHighPassCoef = 0.01f;
constexpr float kLongLowPassCoef = 0.1f;
constexpr float kLongHighPassCoef = 0.02f;
// Fraction of the remaining gap a smoothed layer gain closes per frame.
constexpr float kGainSmoothing = 0.1f;
// Share of each reverb channel fed into the other output channel.
constexpr float kCrossFeed = 0.2f;
constexpr float kBassFrequency = 70.0f;
constexpr float kBassQ = 0.4f;

}  // namespace

bool DesignEqualizerBand(BiquadFilter& filter, float samplingRate, const EqualizerBand& band) {
  if (!IsRealisableBand(samplingRate, band.frequency)) {
    filter.b0 = 1.0f;
    filter.b1 = filter.b2 = filter.na1 = filter.na2 = 0.0f;
    filter.Prepare();
    return false;
  }
  filter.PeakingEQ(samplingRate, band.frequency, band.gain, band.q);
  return true;
}

void Engine::BuildRoom() {
  longReverb = std::make_unique<Reverb>(param.samplingRate);
  mediumReverb = std::make_unique<Reverb>(param.samplingRate);
  shortReverb = std::make_unique<Reverb>(param.samplingRate);

  // One second of ring each; below 1 Hz the ring still holds one sample, and
  // above kMaxPreDelayRing samples the ring stops growing: pre-delays are
  // clamped into it, and an absurd rate must not cost gigabytes per line.
  constexpr float kMaxPreDelayRing = 1 << 20;  // 2.7 s at 384 kHz
  const float sr = static_cast<float>(param.samplingRate);
  const float ringSize = std::clamp(sr, 1.0f, kMaxPreDelayRing);
  longPreDelay = std::make_unique<ExactDelayLine>(0.0f, ringSize);
  mediumPreDelay = std::make_unique<ExactDelayLine>(0.0f, ringSize);
  shortPreDelay = std::make_unique<ExactDelayLine>(0.0f, ringSize);

  for (int b = 0; b < kNumEqualizerBands; ++b)
    DesignEqualizerBand(equalizers[b], sr, kEqualizerBands[b]);
  if (IsRealisableBand(sr, kBassFrequency)) {
    bassFilter.BandpassFilter(sr, kBassFrequency, kBassQ);
  } else {
    // No 70 Hz band exists at such a rate, so there is no bass to enhance:
    // the design would put a pole outside the unit circle.
    bassFilter.b0 = bassFilter.b1 = bassFilter.b2 = bassFilter.na1 = bassFilter.na2 = 0.0f;
  }
}

void Engine::UpdateReverbParameters() noexcept {
  const ReverbLayerParam& shortLayer = activeReverbLayers[0];
  const ReverbLayerParam& mediumLayer = activeReverbLayers[1];
  const ReverbLayerParam& longLayer = activeReverbLayers[2];

  longReverb->SetRT60Time(NonNegative(longLayer.rt60Time));
  longReverb->SetSize(NonNegative(longLayer.size));
  longReverb->SetDelayRange(1.65f);
  longReverb->SetHFReverbTimeRatio(8000.0f, 0.8f);
  longReverb->Update();

  mediumReverb->SetRT60Time(NonNegative(mediumLayer.rt60Time));
  mediumReverb->SetSize(NonNegative(mediumLayer.size));
  mediumReverb->SetDelayRange(1.8f);
  mediumReverb->SetHFReverbTimeRatio(8000.0f, 0.95f);
  mediumReverb->Update();

  shortReverb->SetRT60Time(NonNegative(shortLayer.rt60Time));
  shortReverb->SetSize(NonNegative(shortLayer.size));
  shortReverb->SetDelayRange(1.65f);
  shortReverb->SetHFReverbTimeRatio(8000.0f, 0.9f);
  shortReverb->Update();

  const float sr = static_cast<float>(param.samplingRate);
  longPreDelay->SetDelay(PreDelaySamples(longLayer.preDelay * sr, *longPreDelay));
  mediumPreDelay->SetDelay(PreDelaySamples(mediumLayer.preDelay * sr, *mediumPreDelay));
  shortPreDelay->SetDelay(PreDelaySamples(sr * shortLayer.preDelay, *shortPreDelay));
}

void Engine::RenderReverb(int numFrames) noexcept {
  const ScopedFlushSubnormals flush;
  // Once per block: a state that went bad heals here (its input is finite).
  longLowPass = FiniteOrZero(longLowPass);
  mediumLowPass = FiniteOrZero(mediumLowPass);
  longHighPass = FiniteOrZero(longHighPass);
  mediumHighPass = FiniteOrZero(mediumHighPass);

  ThreadLocalBuffer& r0 = threadLocalBuffers[0];
  const float* send = r0.reverbSend.data();
  float* mainMix = r0.mainMix.data();
  float* dryMonoSum = r0.dryMonoSum.data();

  // Locals, so that the loop keeps them in registers across the reverb calls.
  Reverb& longLayer = *longReverb;
  Reverb& mediumLayer = *mediumReverb;
  Reverb& shortLayer = *shortReverb;
  ExactDelayLine& longDelay = *longPreDelay;
  ExactDelayLine& mediumDelay = *mediumPreDelay;
  ExactDelayLine& shortDelay = *shortPreDelay;
  AllpassFilter1* diffuser = allpassFilters.data();
  const std::size_t diffuserSize = allpassFilters.size();
  const float longTarget = FiniteOrZero(activeReverbLayers[2].gain);
  const float mediumTarget = FiniteOrZero(activeReverbLayers[1].gain);
  const float shortTarget = FiniteOrZero(activeReverbLayers[0].gain);
  float longLow = longLowPass;
  float longHigh = longHighPass;
  float mediumLow = mediumLowPass;
  float mediumHigh = mediumHighPass;
  float longG = longGain;
  float mediumG = mediumGain;
  float shortG = shortGain;

  for (int i = 0; i < numFrames; ++i) {
    const float x =
        std::isfinite(send[i]) ? std::clamp(send[i], -kMaxReverbInput, kMaxReverbInput) : 0.0f;

    const Reverb::Output s = shortLayer.ProcessSample(shortDelay.Process(x));

    float y = x;
    for (std::size_t k = 0; k < diffuserSize; ++k) y = diffuser[k].Process(y);

    const float d1 = mediumDelay.Process(y);
    mediumLow += (d1 - mediumLow) * kMediumLowPassCoef;
    mediumHigh += (mediumLow - mediumHigh) * kMediumHighPassCoef;
    const Reverb::Output m = mediumLayer.ProcessSample(mediumLow - mediumHigh);

    const float d2 = longDelay.Process(y);
    longLow += (d2 - longLow) * kLongLowPassCoef;
    longHigh += (longLow - longHigh) * kLongHighPassCoef;
    const Reverb::Output g = longLayer.ProcessSample(longLow - longHigh);

    const float left = g[6] * longG + m[1] * mediumG + s[0] * shortG;
    const float right = g[7] * longG + m[5] * mediumG + s[2] * shortG;
    mainMix[2 * i] += left + kCrossFeed * right;
    mainMix[2 * i + 1] += right + kCrossFeed * left;
    dryMonoSum[i] += left;

    // The gains start at 0 with the engine, so the reverb fades in.
    longG += (longTarget - longG) * kGainSmoothing;
    mediumG += (mediumTarget - mediumG) * kGainSmoothing;
    shortG += (shortTarget - shortG) * kGainSmoothing;
  }

  longLowPass = longLow;
  longHighPass = longHigh;
  mediumLowPass = mediumLow;
  mediumHighPass = mediumHigh;
  longGain = longG;
  mediumGain = mediumG;
  shortGain = shortG;
}

void Engine::RenderBassEnhancer(int numFrames) noexcept {
  const ScopedFlushSubnormals flush;
  ThreadLocalBuffer& r0 = threadLocalBuffers[0];
  const float* dryMonoSum = r0.dryMonoSum.data();
  float* mainMix = r0.mainMix.data();
  for (int i = 0; i < numFrames; ++i) {
    float y = bassFilter.Process(FiniteOrZero(dryMonoSum[i]));
    if (!std::isfinite(y)) [[unlikely]] {
      // Only an overflow gets here; restart rather than recirculate it.
      bassFilter.Mute();
      y = 0.0f;
    }
    const float e = BassEnhance(y);
    mainMix[2 * i] += e;
    mainMix[2 * i + 1] += e;
  }
}

void Engine::RenderEqualizer(int numFrames) noexcept {
  const ScopedFlushSubnormals flush;
  ThreadLocalBuffer& r0 = threadLocalBuffers[0];
  if (r0.spatialMix.empty()) return;
  const float* spatialMix = r0.spatialMix.data();
  float* mainMix = r0.mainMix.data();
  for (int i = 0; i < numFrames; ++i) {
    float left = spatialMix[2 * i];
    float right = spatialMix[2 * i + 1];
    // Pairwise: the two channels share the filters' step.
    if (!(std::isfinite(left) && std::isfinite(right))) left = right = 0.0f;
    for (auto& band : equalizers) band.Process(left, right);
    if (!(std::isfinite(left) && std::isfinite(right))) [[unlikely]] {
      // Only an overflow gets here; restart rather than recirculate it.
      for (auto& band : equalizers) band.Mute();
      left = right = 0.0f;
    }
    mainMix[2 * i] += left;
    mainMix[2 * i + 1] += right;
  }
}

}  // namespace orv
