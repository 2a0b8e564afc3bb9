#include "room/OrvRoom.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "common/OrvSimd.h"

namespace orv {
namespace {

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

// One second of pre-delay ring; below 1 Hz the ring still holds one sample,
// and above kMaxPreDelayRing samples it stops growing: pre-delays are
// clamped into it, and an absurd rate must not cost gigabytes per line.
constexpr float kMaxPreDelayRing = 1 << 20;  // 2.7 s at 384 kHz

// The smoothed gain's next value: it closes kGainSmoothing of the gap.
inline float NextGain(float g, float target) noexcept { return g + (target - g) * kGainSmoothing; }

}  // namespace

struct Room::Layer {
  Layer(double rate, float ringSize) : reverb(rate), preDelay(0.0f, ringSize) {}

  Reverb reverb;
  ExactDelayLine preDelay;
  float lowPass = 0.0f;  // the band-pass pair (medium and long layers)
  float highPass = 0.0f;
  float gain = 0.0f;  // smoothed; starts at 0, so the reverb fades in
  float target = 0.0f;
  alignas(16) std::array<float, kMaxFrames> feed{};  // the reverb's input
  alignas(16) std::array<float, kMaxFrames> left{};  // its two outputs
  alignas(16) std::array<float, kMaxFrames> right{};
  alignas(16) std::array<float, kMaxFrames> gains{};  // gain per frame of the pass
};

Room::Room(double samplingRate)
    : samplingRate(static_cast<float>(samplingRate)),
      equalizer(static_cast<float>(samplingRate)),
      bassEnhancer(static_cast<float>(samplingRate)) {
  const float ringSize = std::clamp(this->samplingRate, 1.0f, kMaxPreDelayRing);
  for (auto& layer : layers) layer = std::make_unique<Layer>(samplingRate, ringSize);
  diffuser.reserve(kDiffuserStages.size());
  for (const auto& stage : kDiffuserStages) diffuser.emplace_back(stage.delay, stage.coef);
  ApplyLayers(kDefaultReverbLayers);
}

Room::~Room() = default;

void Room::SetLayers(const ReverbLayers& next) noexcept {
  // Update is a pure function of the settings: skipping it for unchanged
  // ones changes nothing.
  if (std::memcmp(&next, &appliedLayers, sizeof next) != 0) ApplyLayers(next);
}

void Room::ApplyLayers(const ReverbLayers& next) noexcept {
  appliedLayers = next;
  for (int k = 0; k < kNumReverbLayers; ++k) layers[k]->target = FiniteOrZero(next[k].gain);
  for (int k = 0; k < kNumReverbLayers; ++k) {
    const ReverbLayerParam& p = next[k];
    const ReverbLayerDesign& design = kReverbLayerDesigns[k];
    Layer& layer = *layers[k];
    layer.reverb.SetRT60Time(NonNegative(p.rt60Time));
    layer.reverb.SetSize(NonNegative(p.size));
    layer.reverb.SetDelayRange(design.delayRange);
    layer.reverb.SetHFReverbTimeRatio(kHfReferenceFrequency, design.hfRatio);
    layer.reverb.Update();
    layer.preDelay.SetDelay(PreDelaySamples(p.preDelay * samplingRate, layer.preDelay));
  }
}

bool Room::IsReverbSilent() const noexcept {
  for (const auto& layer : layers) {
    if (layer->lowPass != 0.0f || layer->highPass != 0.0f) return false;
    if (!layer->preDelay.IsSilent() || !layer->reverb.IsSilent()) return false;
  }
  for (const auto& stage : diffuser)
    if (!stage.IsSilent()) return false;
  return true;
}

bool Room::SettleIfQuiet() noexcept {
  // Every recurrence of the room stalls in a residue instead of reaching
  // zero (see kQuietLevel); with subnormals flushed only the one-poles and
  // the reverbs' damping do, otherwise the all-passes too.
  const auto isQuiet = [](float v) { return std::fabs(v) <= kQuietLevel; };
  for (const auto& layer : layers) {
    if (!isQuiet(layer->lowPass) || !isQuiet(layer->highPass)) return false;
    if (!layer->reverb.IsSilent() && !layer->reverb.IsQuiet()) return false;
    if (!layer->preDelay.IsSilent() && !layer->preDelay.IsQuiet()) return false;
  }
  for (const auto& stage : diffuser)
    if (!stage.IsQuiet()) return false;
  for (auto& layer : layers) {
    layer->lowPass = layer->highPass = 0.0f;
    if (!layer->reverb.IsSilent()) layer->reverb.Silence();
    if (!layer->preDelay.IsSilent()) layer->preDelay.Clear();
  }
  for (auto& stage : diffuser) stage.Clear();
  return true;
}

void Room::BeginReverb(const float* send, int numFrames) noexcept {
  const simd::ScopedFlushSubnormals flush;
  passFrames = std::clamp(numFrames, 0, kMaxFrames);
  const int n = passFrames;
  // Once per pass: a state that went bad heals here (its input is finite).
  for (auto& layer : layers) {
    layer->lowPass = FiniteOrZero(layer->lowPass);
    layer->highPass = FiniteOrZero(layer->highPass);
  }
  bool isSilent = true;
  for (int i = 0; i < n; ++i) {
    const float x = send[i];
    input[i] = std::isfinite(x) ? std::clamp(x, -kMaxReverbInput, kMaxReverbInput) : 0.0f;
    isSilent = isSilent && input[i] == 0.0f;
  }
  // A silent send into a room whose tail has sunk below audibility for good
  // skips the reverb; the residue is dropped once, on the way in.
  isPassSilent = isSilent && (IsReverbSilent() || SettleIfQuiet());
  if (isPassSilent) return;

  Layer& shortLayer = *layers[kShortLayer];
  Layer& mediumLayer = *layers[kMediumLayer];
  Layer& longLayer = *layers[kLongLayer];
  shortLayer.preDelay.ProcessBlock(input.data(), shortLayer.feed.data(), n);

  std::copy(input.begin(), input.begin() + n, diffused.begin());
  RunDiffuser(diffused.data(), n);
  mediumLayer.preDelay.ProcessBlock(diffused.data(), mediumLayer.feed.data(), n);
  longLayer.preDelay.ProcessBlock(diffused.data(), longLayer.feed.data(), n);

  // The two band-passes in one loop: each is a chain of dependent steps,
  // and side by side they share the wait.
  constexpr ReverbLayerDesign kMedium = kReverbLayerDesigns[kMediumLayer];
  constexpr ReverbLayerDesign kLong = kReverbLayerDesigns[kLongLayer];
  float* mediumFeed = mediumLayer.feed.data();
  float* longFeed = longLayer.feed.data();
  float mediumLow = mediumLayer.lowPass, mediumHigh = mediumLayer.highPass;
  float longLow = longLayer.lowPass, longHigh = longLayer.highPass;
  for (int i = 0; i < n; ++i) {
    mediumLow += (mediumFeed[i] - mediumLow) * kMedium.lowPassCoef;
    mediumHigh += (mediumLow - mediumHigh) * kMedium.highPassCoef;
    mediumFeed[i] = mediumLow - mediumHigh;
    longLow += (longFeed[i] - longLow) * kLong.lowPassCoef;
    longHigh += (longLow - longHigh) * kLong.highPassCoef;
    longFeed[i] = longLow - longHigh;
  }
  mediumLayer.lowPass = mediumLow;
  mediumLayer.highPass = mediumHigh;
  longLayer.lowPass = longLow;
  longLayer.highPass = longHigh;
}

void Room::RunDiffuser(float* data, int n) noexcept {
  // Stages of delay 8 and more run block by block on runs of independent
  // steps; consecutive shorter ones (runs of one to five steps would be
  // mostly overhead) run together frame by frame, where the processor
  // overlaps their chains.
  std::size_t k = 0;
  while (k < diffuser.size()) {
    if (diffuser[k].size >= 8) {
      diffuser[k++].ProcessBlock(data, n);
      continue;
    }
    std::size_t end = k;
    while (end < diffuser.size() && diffuser[end].size < 8) ++end;
    AllpassFilter1* first = diffuser.data() + k;
    const std::size_t count = end - k;
    for (int i = 0; i < n; ++i) {
      float y = data[i];
      for (std::size_t j = 0; j < count; ++j) y = first[j].Process(y);
      data[i] = y;
    }
    k = end;
  }
}

void Room::RenderLayers(int first, int last) noexcept {
  if (isPassSilent) return;
  const simd::ScopedFlushSubnormals flush;
  for (int k = std::max(first, 0); k < std::min(last, kNumReverbLayers); ++k) {
    Layer& layer = *layers[k];
    const ReverbLayerDesign& design = kReverbLayerDesigns[k];
    layer.reverb.ProcessBlock(layer.feed.data(), passFrames, design.leftOutput, layer.left.data(),
                              design.rightOutput, layer.right.data());
  }
}

void Room::AdvanceGains(int numFrames, bool keepRamps) noexcept {
  for (auto& layer : layers) {
    float g = layer->gain;
    const float target = layer->target;
    if (NextGain(g, target) == g) {
      // Settled: the recurrence stays put from here on.
      if (keepRamps) std::fill(layer->gains.begin(), layer->gains.begin() + numFrames, g);
      continue;
    }
    for (int i = 0; i < numFrames; ++i) {
      if (keepRamps) layer->gains[i] = g;
      g = NextGain(g, target);
    }
    layer->gain = g;
  }
}

void Room::EndReverb(float* mainMix, float* dryMonoSum) noexcept {
  const simd::ScopedFlushSubnormals flush;
  const int n = passFrames;
  if (isPassSilent) {
    // Every layer's output is zero: only the gains move on.
    AdvanceGains(n, false);
    return;
  }
  AdvanceGains(n, true);
  const Layer& shortLayer = *layers[kShortLayer];
  const Layer& mediumLayer = *layers[kMediumLayer];
  const Layer& longLayer = *layers[kLongLayer];
  const float* sl = shortLayer.left.data();
  const float* sr = shortLayer.right.data();
  const float* ml = mediumLayer.left.data();
  const float* mr = mediumLayer.right.data();
  const float* ll = longLayer.left.data();
  const float* lr = longLayer.right.data();
  const float* sg = shortLayer.gains.data();
  const float* mg = mediumLayer.gains.data();
  const float* lg = longLayer.gains.data();
  int i = 0;
#if defined(ORV_HAVE_SIMD4)
  using namespace simd;
  const Float4 crossFeed = Splat(kCrossFeed);
  for (; i + 4 <= n; i += 4) {
    const Float4 gl = Load(lg + i);
    const Float4 gm = Load(mg + i);
    const Float4 gs = Load(sg + i);
    const Float4 left =
        Add(Add(Mul(Load(ll + i), gl), Mul(Load(ml + i), gm)), Mul(Load(sl + i), gs));
    const Float4 right =
        Add(Add(Mul(Load(lr + i), gl), Mul(Load(mr + i), gm)), Mul(Load(sr + i), gs));
    const Float4 outLeft = Add(left, Mul(crossFeed, right));
    const Float4 outRight = Add(right, Mul(crossFeed, left));
    float* mix = mainMix + 2 * i;
    StoreU(mix, Add(LoadU(mix), InterleaveLow(outLeft, outRight)));
    StoreU(mix + 4, Add(LoadU(mix + 4), InterleaveHigh(outLeft, outRight)));
    StoreU(dryMonoSum + i, Add(LoadU(dryMonoSum + i), left));
  }
#endif
  for (; i < n; ++i) {
    const float left = ll[i] * lg[i] + ml[i] * mg[i] + sl[i] * sg[i];
    const float right = lr[i] * lg[i] + mr[i] * mg[i] + sr[i] * sg[i];
    mainMix[2 * i] += left + kCrossFeed * right;
    mainMix[2 * i + 1] += right + kCrossFeed * left;
    dryMonoSum[i] += left;
  }
}

void Room::RenderReverb(const float* send, float* mainMix, float* dryMonoSum,
                        int numFrames) noexcept {
  for (int done = 0; done < numFrames; done += kMaxFrames) {
    const int n = std::min(kMaxFrames, numFrames - done);
    BeginReverb(send + done, n);
    RenderLayers(0, kNumReverbLayers);
    EndReverb(mainMix + 2 * done, dryMonoSum + done);
  }
}

void Room::RenderReverbPerSample(const float* send, float* mainMix, float* dryMonoSum,
                                 int numFrames) noexcept {
  const simd::ScopedFlushSubnormals flush;
  Layer& s = *layers[kShortLayer];
  Layer& m = *layers[kMediumLayer];
  Layer& g = *layers[kLongLayer];
  for (Layer* layer : {&s, &m, &g}) {
    layer->lowPass = FiniteOrZero(layer->lowPass);
    layer->highPass = FiniteOrZero(layer->highPass);
  }
  constexpr auto& kShort = kReverbLayerDesigns[kShortLayer];
  constexpr auto& kMedium = kReverbLayerDesigns[kMediumLayer];
  constexpr auto& kLong = kReverbLayerDesigns[kLongLayer];
  // Locals, so that the loop keeps them in registers across the reverb calls.
  float mediumLow = m.lowPass, mediumHigh = m.highPass;
  float longLow = g.lowPass, longHigh = g.highPass;
  float shortG = s.gain, mediumG = m.gain, longG = g.gain;
  const float shortTarget = s.target, mediumTarget = m.target, longTarget = g.target;
  AllpassFilter1* stages = diffuser.data();
  const std::size_t numStages = diffuser.size();
  for (int i = 0; i < numFrames; ++i) {
    const float x =
        std::isfinite(send[i]) ? std::clamp(send[i], -kMaxReverbInput, kMaxReverbInput) : 0.0f;

    const Reverb::Output so = s.reverb.ProcessSample(s.preDelay.Process(x));

    float y = x;
    for (std::size_t k = 0; k < numStages; ++k) y = stages[k].Process(y);

    const float d1 = m.preDelay.Process(y);
    mediumLow += (d1 - mediumLow) * kMedium.lowPassCoef;
    mediumHigh += (mediumLow - mediumHigh) * kMedium.highPassCoef;
    const Reverb::Output mo = m.reverb.ProcessSample(mediumLow - mediumHigh);

    const float d2 = g.preDelay.Process(y);
    longLow += (d2 - longLow) * kLong.lowPassCoef;
    longHigh += (longLow - longHigh) * kLong.highPassCoef;
    const Reverb::Output go = g.reverb.ProcessSample(longLow - longHigh);

    const float left = go[kLong.leftOutput] * longG + mo[kMedium.leftOutput] * mediumG +
                       so[kShort.leftOutput] * shortG;
    const float right = go[kLong.rightOutput] * longG + mo[kMedium.rightOutput] * mediumG +
                        so[kShort.rightOutput] * shortG;
    mainMix[2 * i] += left + kCrossFeed * right;
    mainMix[2 * i + 1] += right + kCrossFeed * left;
    dryMonoSum[i] += left;

    longG = NextGain(longG, longTarget);
    mediumG = NextGain(mediumG, mediumTarget);
    shortG = NextGain(shortG, shortTarget);
  }
  m.lowPass = mediumLow;
  m.highPass = mediumHigh;
  g.lowPass = longLow;
  g.highPass = longHigh;
  s.gain = shortG;
  m.gain = mediumG;
  g.gain = longG;
}

void Room::RenderBassEnhancer(const float* dryMonoSum, float* mainMix, int numFrames) noexcept {
  const simd::ScopedFlushSubnormals flush;
  bassEnhancer.Process(dryMonoSum, mainMix, numFrames);
}

void Room::RenderEqualizer(const float* spatialMix, float* mainMix, int numFrames) noexcept {
  const simd::ScopedFlushSubnormals flush;
  equalizer.Process(spatialMix, mainMix, numFrames);
}

}  // namespace orv
