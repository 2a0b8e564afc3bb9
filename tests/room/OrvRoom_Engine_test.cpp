// The engine's room stages driven through a real Engine: voices put signals
// into the reverb send, the output is compared with an independent model of
// the signal flow, with closed forms at single frames, and checked for
// finiteness, life and an end at every supported sampling rate.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <complex>
#include <limits>
#include <memory>
#include <vector>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

#include "channel/OrvChannelRenderer.h"
#include "common/OrvTestUtil.h"
#include "dsp/OrvDspTestUtil.h"
#include "dsp/OrvReverb.h"
#include "dsp/OrvUtils.h"
#include "engine/OrvEngine.h"
#include "room/OrvRoom.h"

namespace {

using orv::ChannelParam;
using orv::Engine;
using orv::EngineParam;
using orv::ReverbLayerParam;
using orvtest::dsp::MeasureDecayTime;
using orvtest::dsp::ReferenceBiquad;

constexpr double kAllRates[] = {8000, 11025, 16000, 22050, 44100, 48000, 96000, 192000, 384000};
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// The engine's default room, in layer order short, medium, long.
constexpr std::array<ReverbLayerParam, 3> kDefaultLayers = {{
    {0.3f, 0.001f, 0.1f, 0.0f},
    {0.2f, 0.013f, 1.0f, 0.0f},
    {0.17f, 0.036f, 3.0f, 0.0f},
}};

// A mono float sound held in memory.
class MonoBuffer final : public orv::Buffer {
 public:
  MonoBuffer(std::vector<float> samples, double samplingRate)
      : samples(std::move(samples)), samplingRate(samplingRate) {}
  const void* GetData() const override { return samples.data(); }
  orv::AudioFormat GetFormat() const override { return orv::kAudioFormatFloat32; }
  int GetNumChannels() const override { return 1; }
  double GetSamplingRate() const override { return samplingRate; }
  std::int64_t GetNumSamples() const override { return static_cast<std::int64_t>(samples.size()); }

 private:
  std::vector<float> samples;
  double samplingRate;
};

std::shared_ptr<Engine> MakeEngine(double rate, bool withHrtf = false, int numThreads = 1) {
  EngineParam p;
  p.samplingRate = rate;
  p.numThreads = numThreads;
  if (withHrtf) p.UseCarriedHrtf();
  return std::make_shared<Engine>(p);
}

// A local voice that is heard only through the reverb (gain 0). Played at
// the engine's rate, so the send carries the samples unchanged.
void PlaySendOnly(Engine& engine, std::vector<float> samples, float reverbGain = 1.0f) {
  ChannelParam p;
  p.gain = 0.0f;
  p.reverbGain = reverbGain;
  engine.CreateChannel(
      0.0, std::make_shared<MonoBuffer>(std::move(samples), engine.param.samplingRate), p);
}

// Renders frames frames in blocks of the given sizes (cycled), as the
// context does: Prerender before every Render.
std::vector<float> RenderFrames(Engine& engine, std::size_t frames,
                                const std::vector<int>& blockSizes = {512}) {
  std::vector<float> out(2 * frames);
  std::size_t done = 0;
  for (std::size_t b = 0; done < frames; ++b) {
    const std::size_t n = std::min<std::size_t>(
        static_cast<std::size_t>(blockSizes[b % blockSizes.size()]), frames - done);
    engine.Prerender();
    engine.Render(out.data() + 2 * done, static_cast<int>(n));
    done += n;
  }
  return out;
}

std::size_t Frames(double seconds, double rate) { return static_cast<std::size_t>(seconds * rate); }

// RMS of both channels of the interleaved frames [from, to).
double RmsOf(const std::vector<float>& stereo, std::size_t from, std::size_t to) {
  return orvtest::Rms(stereo.data() + 2 * from, 2 * (to - from));
}

float PeakOf(const std::vector<float>& stereo, std::size_t from, std::size_t to) {
  float peak = 0.0f;
  for (std::size_t i = 2 * from; i < 2 * to; ++i) peak = std::max(peak, std::fabs(stereo[i]));
  return peak;
}

bool AllFinite(const std::vector<float>& v) {
  return std::all_of(v.begin(), v.end(), [](float x) { return std::isfinite(x); });
}

// The room's signal flow written out from its description with the library's
// building blocks, for a mix whose only input is a reverb send and no
// binaural voice: returns the stereo frame the engine adds to the dry mix.
class ReferenceRoom {
 public:
  ReferenceRoom(double rate, const std::array<ReverbLayerParam, 3>& layers)
      : layers(layers), longReverb(rate), mediumReverb(rate), shortReverb(rate) {
    Configure(longReverb, layers[2], 1.65f, 0.8f);
    Configure(mediumReverb, layers[1], 1.8f, 0.95f);
    Configure(shortReverb, layers[0], 1.65f, 0.9f);
    const float sr = static_cast<float>(rate);
    for (auto* line : {&longDelay, &mediumDelay, &shortDelay})
      *line = std::make_unique<orv::ExactDelayLine>(0.0f, sr);
    longDelay->SetDelay(layers[2].preDelay * sr);
    mediumDelay->SetDelay(layers[1].preDelay * sr);
    shortDelay->SetDelay(sr * layers[0].preDelay);
    const std::pair<int, float> stages[] = {{7, 0.3f}, {37, 0.2f}, {97, 0.1f}, {157, 0.1f},
                                            {1, 0.6f}, {3, 0.6f},  {5, 0.6f},  {55, 0.6f}};
    for (const auto& [delay, coef] : stages) diffuser.emplace_back(delay, coef);
    bass.BandpassFilter(sr, 70.0f, 0.4f);
  }

  std::pair<float, float> Frame(float x) {
    const auto s = shortReverb.ProcessSample(shortDelay->Process(x));
    float y = x;
    for (auto& stage : diffuser) y = stage.Process(y);
    const float d1 = mediumDelay->Process(y);
    const float d2 = longDelay->Process(y);
    mediumLow += (d1 - mediumLow) * 0.3f;
    mediumHigh += (mediumLow - mediumHigh) * 0.01f;
    const auto m = mediumReverb.ProcessSample(mediumLow - mediumHigh);
    longLow += (d2 - longLow) * 0.1f;
    longHigh += (longLow - longHigh) * 0.02f;
    const auto g = longReverb.ProcessSample(longLow - longHigh);
    const float l = g[6] * longGain + m[1] * mediumGain + s[0] * shortGain;
    const float r = g[7] * longGain + m[5] * mediumGain + s[2] * shortGain;
    longGain += (layers[2].gain - longGain) * 0.1f;
    mediumGain += (layers[1].gain - mediumGain) * 0.1f;
    shortGain += (layers[0].gain - shortGain) * 0.1f;
    // The reverb's left output is the bass enhancer's only input here.
    const float b = 0.05f * bass.Process(l);
    const float h = std::clamp(b, -2.0f, 2.0f);
    const float e = b + 0.875f * h * h * h;
    return {(l + 0.2f * r) + e, (r + 0.2f * l) + e};
  }

 private:
  static void Configure(orv::Reverb& reverb, const ReverbLayerParam& layer, float range,
                        float hfRatio) {
    reverb.SetRT60Time(layer.rt60Time);
    reverb.SetSize(layer.size);
    reverb.SetDelayRange(range);
    reverb.SetHFReverbTimeRatio(8000.0f, hfRatio);
    reverb.Update();
  }

  std::array<ReverbLayerParam, 3> layers;
  orv::Reverb longReverb, mediumReverb, shortReverb;
  std::unique_ptr<orv::ExactDelayLine> longDelay, mediumDelay, shortDelay;
  std::vector<orv::AllpassFilter1> diffuser;
  orv::SingleBiquadFilter bass;
  float longLow = 0, longHigh = 0, mediumLow = 0, mediumHigh = 0;
  float longGain = 0, mediumGain = 0, shortGain = 0;
};

// The model and the engine perform the same float operations; what may
// differ is the grouping of a few sums, a handful of roundings on values <= 1.
constexpr float kFlowTolerance = 1e-6f;

// ----------------------------------------------------------------------------
// Signal flow

TEST(EngineRoom, NoChannelsGiveExactSilence) {
  for (double rate : {8000.0, 48000.0, 384000.0}) {
    for (int threads : {1, 3}) {
      auto engine = MakeEngine(rate, false, threads);
      const auto out = RenderFrames(*engine, Frames(1.0, rate), {512, 1, 333});
      EXPECT_EQ(PeakOf(out, 0, out.size() / 2), 0.0f) << rate << " Hz, " << threads << " threads";
    }
  }
}

TEST(EngineRoom, OutputFollowsTheRoomSignalFlow) {
  // Pre-delays of 2^-9, 2^-8 and 2^-7 s are whole sample counts at these
  // rates and exercise the three lines.
  const std::array<ReverbLayerParam, 3> withPreDelays = {{
      {0.3f, 0.001f, 0.1f, 0.001953125f},
      {0.2f, 0.013f, 1.0f, 0.00390625f},
      {0.17f, 0.036f, 3.0f, 0.0078125f},
  }};
  for (double rate : {8000.0, 44100.0, 48000.0, 96000.0}) {
    for (const auto& layers : {kDefaultLayers, withPreDelays}) {
      auto engine = MakeEngine(rate);
      engine->reverbLayers = layers;
      const std::size_t frames = Frames(0.75, rate);
      std::vector<float> send = orvtest::Noise(Frames(0.05, rate), 7, 0.1f);
      PlaySendOnly(*engine, send);
      const auto out = RenderFrames(*engine, frames, {512, 100, 1, 700});

      ReferenceRoom reference(rate, layers);
      send.resize(frames, 0.0f);
      float worst = 0.0f;
      float peak = 0.0f;
      for (std::size_t i = 0; i < frames; ++i) {
        const auto [l, r] = reference.Frame(send[i]);
        worst = std::max({worst, std::fabs(out[2 * i] - l), std::fabs(out[2 * i + 1] - r)});
        peak = std::max({peak, std::fabs(l), std::fabs(r)});
      }
      ASSERT_LT(peak, 1.0f) << "the limiter must stay idle for this comparison";
      EXPECT_GT(peak, 1e-3f) << "the reverb must ring";
      EXPECT_LE(worst, kFlowTolerance) << rate << " Hz";
    }
  }
}

TEST(EngineRoom, ReverbLeftFeedsBothOutputsAndTheBassEnhancer) {
  // Short layer alone: an impulse a gives s[0] = toneB·a and s[2] = -toneB·a
  // on its own frame, so L = toneB·a·g and R = -L. With 20 % cross-feed the
  // outputs are 0.8·L + e and -0.8·L + e, e the bass enhancer of L alone.
  constexpr double kRate = 48000.0;
  constexpr std::size_t kAt = 2048;  // the smoothed gains have long settled
  constexpr float kAmplitude = 1.0f;
  auto engine = MakeEngine(kRate);
  engine->reverbLayers = {
      {{0.3f, 0.001f, 0.1f, 0.0f}, {0.0f, 0.013f, 1.0f, 0.0f}, {0.0f, 0.036f, 3.0f, 0.0f}}};
  PlaySendOnly(*engine, orvtest::Impulse(kAt + 1, kAt, kAmplitude));
  const auto out = RenderFrames(*engine, kAt + 1);

  EXPECT_EQ(PeakOf(out, 0, kAt), 0.0f);
  orv::Reverb shortLayer(kRate);
  shortLayer.SetRT60Time(0.1f);
  shortLayer.SetSize(0.001f);
  shortLayer.SetDelayRange(1.65f);
  shortLayer.SetHFReverbTimeRatio(8000.0f, 0.9f);
  shortLayer.Update();
  const double l = shortLayer.GetToneB() * kAmplitude * 0.3;
  const ReferenceBiquad bass = ReferenceBiquad::Bandpass(kRate, 70.0, 0.4);
  const double y = 0.05 * l * bass.b0 / bass.a0;
  const double e = y + 0.875 * y * y * y;

  const double left = out[2 * kAt];
  const double right = out[2 * kAt + 1];
  // The settled gain may sit a few units in the last place off 0.3.
  constexpr double kCrossFeedTolerance = 1e-5;
  // e is recovered from two outputs near 0.8·|L|: their rounding.
  constexpr double kBassTolerance = 1e-6;
  EXPECT_NEAR((left - right) / 2.0, 0.8 * l, kCrossFeedTolerance * std::fabs(l)) << "cross-feed";
  EXPECT_NEAR((left + right) / 2.0, e, kBassTolerance * std::fabs(l))
      << "bass enhancer of the left output";
  EXPECT_GT(std::fabs(e), 1e-4) << "the bass term must be measurable";
}

TEST(EngineRoom, PreDelayShiftsItsLayer) {
  constexpr double kRate = 48000.0;
  constexpr std::size_t kAt = 2048;
  constexpr std::size_t kPreDelay = 375;  // 2^-7 s at 48 kHz
  auto engine = MakeEngine(kRate);
  engine->reverbLayers = {
      {{0.3f, 0.001f, 0.1f, 0.0078125f}, {0.0f, 0.013f, 1.0f, 0.0f}, {0.0f, 0.036f, 3.0f, 0.0f}}};
  PlaySendOnly(*engine, orvtest::Impulse(kAt + 1, kAt, 0.5f));
  const auto out = RenderFrames(*engine, kAt + kPreDelay + 1);
  EXPECT_EQ(PeakOf(out, 0, kAt + kPreDelay), 0.0f);
  const float left = out[2 * (kAt + kPreDelay)];
  const float right = out[2 * (kAt + kPreDelay) + 1];
  EXPECT_GT(left - right, 0.1f) << "the impulse arrives after exactly the pre-delay";
}

TEST(EngineRoom, SplittingTheBlocksDoesNotChangeTheOutput) {
  constexpr double kRate = 44100.0;
  const auto send = orvtest::Noise(Frames(0.1, kRate), 11, 0.2f);
  std::vector<std::vector<float>> outputs;
  for (const std::vector<int>& blocks : {std::vector<int>{512}, {4096}, {1, 2, 3, 500, 17}}) {
    auto engine = MakeEngine(kRate);
    PlaySendOnly(*engine, send);
    outputs.push_back(RenderFrames(*engine, Frames(0.5, kRate), blocks));
  }
  EXPECT_EQ(outputs[0], outputs[1]);
  EXPECT_EQ(outputs[0], outputs[2]);
}

// ----------------------------------------------------------------------------
// Tail

TEST(EngineRoom, ImpulseTailRingsThenEnds) {
  constexpr double kRate = 48000.0;
  auto engine = MakeEngine(kRate);
  PlaySendOnly(*engine, orvtest::Impulse(1, 0, 1.0f));
  const auto out = RenderFrames(*engine, Frames(10.0, kRate));
  ASSERT_TRUE(AllFinite(out));
  EXPECT_GT(PeakOf(out, 0, Frames(0.2, kRate)), 1e-2f) << "the impulse must excite the room";
  EXPECT_GT(RmsOf(out, Frames(1.0, kRate), Frames(1.5, kRate)), 1e-6) << "the long layer rings on";
  for (int second = 1; second < 10; ++second) {
    EXPECT_LT(RmsOf(out, Frames(second, kRate), Frames(second + 1, kRate)),
              RmsOf(out, Frames(second - 1, kRate), Frames(second, kRate)))
        << "second " << second;
  }
  EXPECT_LT(PeakOf(out, Frames(9.0, kRate), Frames(10.0, kRate)), 1e-6f) << "the tail ends";
}

#if defined(__SSE__)
TEST(EngineRoom, RenderLeavesTheCallersFloatingPointModeAlone) {
  // The room stages flush subnormals while they run, and only then.
  auto engine = MakeEngine(48000.0);
  PlaySendOnly(*engine, orvtest::Noise(1000, 2, 0.5f));
  const unsigned before = _mm_getcsr();
  RenderFrames(*engine, 4096);
  EXPECT_EQ(_mm_getcsr(), before);
}
#endif

TEST(EngineRoom, TailDecaysAtTheLongLayersTime) {
  // Past the short and medium layers the output is the long layer's tail,
  // whose low frequencies decay by 60 dB in its rt60Time.
  constexpr double kRate = 48000.0;
  auto engine = MakeEngine(kRate);
  PlaySendOnly(*engine, orvtest::Noise(Frames(0.02, kRate), 3, 0.5f));
  const auto out = RenderFrames(*engine, Frames(8.0, kRate));
  std::vector<double> energy;
  for (std::size_t i = Frames(1.5, kRate); i < out.size() / 2; ++i)
    energy.push_back(double(out[2 * i]) * out[2 * i] + double(out[2 * i + 1]) * out[2 * i + 1]);
  const double measured = MeasureDecayTime(energy, kRate, -5.0, -35.0);
  // The damped highs and the spread of the modes bend the curve a little.
  constexpr double kDecayTolerance = 0.05;
  EXPECT_NEAR(measured, kDefaultLayers[2].rt60Time, kDecayTolerance * kDefaultLayers[2].rt60Time);
}

// ----------------------------------------------------------------------------
// Bad values

// Renders a noise burst whose reverb send turns non-finite at frame kBad,
// and the same burst with those send frames silent. Apart from the frames
// the bad value touches on the dry path, the two outputs must agree exactly.
enum class BadSend { kNaN, kPlusInfinity, kMinusInfinity };

void ExpectBadSendIsSilenced(BadSend kind) {
  constexpr double kRate = 48000.0;
  constexpr std::size_t kBad = 1000;
  std::vector<float> samples = orvtest::Noise(Frames(0.1, kRate), 5, 0.05f);
  std::vector<float> clean = samples;
  float reverbGain = 4.0f;
  std::vector<std::size_t> dryFrames;
  if (kind == BadSend::kNaN) {
    samples[kBad] = kNaN;
    // Linear interpolation at whole frames reads the next frame too (with
    // weight 0), so frame kBad - 1 carries the NaN as well, on both paths.
    clean[kBad - 1] = clean[kBad] = 0.0f;
    dryFrames = {kBad - 1, kBad};
  } else {
    // A buffer's infinity reaches the send as NaN through the interpolation;
    // a true infinity comes from the send gain overflowing the largest float.
    samples[kBad] = kind == BadSend::kPlusInfinity ? FLT_MAX : -FLT_MAX;
    clean[kBad] = 0.0f;
  }

  auto poisoned = MakeEngine(kRate);
  auto reference = MakeEngine(kRate);
  PlaySendOnly(*poisoned, samples, reverbGain);
  PlaySendOnly(*reference, clean, reverbGain);
  const std::size_t frames = Frames(6.0, kRate);
  const auto out = RenderFrames(*poisoned, frames);
  const auto expected = RenderFrames(*reference, frames);

  ASSERT_TRUE(AllFinite(out));
  for (std::size_t i = 0; i < 2 * frames; ++i) {
    if (std::find(dryFrames.begin(), dryFrames.end(), i / 2) != dryFrames.end()) continue;
    ASSERT_EQ(out[i], expected[i]) << "sample " << i;
  }
  EXPECT_GT(RmsOf(out, Frames(0.2, kRate), Frames(0.5, kRate)), 1e-4) << "the tail is alive";
  EXPECT_LT(PeakOf(out, Frames(5.5, kRate), frames), 1e-3f) << "and decays";
}

TEST(EngineRoom, NonFiniteReverbSendEntersAsSilence) {
  for (BadSend kind : {BadSend::kNaN, BadSend::kPlusInfinity, BadSend::kMinusInfinity}) {
    SCOPED_TRACE(static_cast<int>(kind));
    ExpectBadSendIsSilenced(kind);
  }
}

TEST(EngineRoom, HugeReverbSendDoesNotOverflowTheNetwork) {
  // The largest floats would overflow the network's sums into infinities
  // and then NaN for good; the tail must stay finite and keep ringing.
  constexpr double kRate = 48000.0;
  auto engine = MakeEngine(kRate);
  std::vector<float> send(2000, 0.0f);
  std::fill(send.begin() + 1000, send.begin() + 1100, FLT_MAX);
  PlaySendOnly(*engine, send);
  const auto out = RenderFrames(*engine, Frames(3.0, kRate));
  ASSERT_TRUE(AllFinite(out));
  // A poisoned network gives NaN, which the limiter turns into exact silence.
  EXPECT_GT(RmsOf(out, Frames(2.5, kRate), Frames(3.0, kRate)), 0.01) << "the tail is alive";
}

TEST(EngineRoom, BadLayerSettingsNeitherStopTheEngineNorPoisonIt) {
  constexpr double kRate = 44100.0;
  auto engine = MakeEngine(kRate);
  const std::array<std::array<ReverbLayerParam, 3>, 3> badRooms = {{
      {{{kNaN, kNaN, kNaN, kNaN}, {kInf, kInf, kInf, kInf}, {-1.0f, -1.0f, -1.0f, -1.0f}}},
      {{{0.3f, 0.001f, 0.1f, 1.0f}, {0.2f, 0.013f, 1.0f, 5.0f}, {0.17f, 0.036f, 3.0f, -kInf}}},
      {{{-kInf, -kInf, -kInf, 0.5f},
        {FLT_MAX, FLT_MAX, FLT_MAX, FLT_MAX},
        {0.17f, 1e-9f, 1e-9f, 1e-9f}}},
  }};
  for (const auto& room : badRooms) {
    engine->reverbLayers = room;
    PlaySendOnly(*engine, orvtest::Noise(Frames(0.1, kRate), 9, 0.2f));
    const auto out = RenderFrames(*engine, Frames(0.5, kRate));
    ASSERT_TRUE(AllFinite(out));
  }
  // Back to a sane room: the reverb must still live.
  engine->reverbLayers = kDefaultLayers;
  RenderFrames(*engine, Frames(5.0, kRate));  // the limiter recovers from the huge gains
  PlaySendOnly(*engine, orvtest::Noise(Frames(0.1, kRate), 9, 0.2f));
  const auto out = RenderFrames(*engine, Frames(1.0, kRate));
  ASSERT_TRUE(AllFinite(out));
  EXPECT_GT(RmsOf(out, Frames(0.3, kRate), Frames(0.6, kRate)), 1e-4);
}

// ----------------------------------------------------------------------------
// Every rate

// Noise whose energy lies where the 48 kHz responses have any: above 48 kHz
// each value is held for rate / 48000 samples (white noise at 384 kHz would
// put seven eighths of its energy above the measured band).
std::vector<float> MeasuredBandNoise(std::size_t length, double rate, std::uint32_t seed) {
  const std::size_t hold = std::max<std::size_t>(1, static_cast<std::size_t>(rate / 48000.0));
  std::vector<float> noise = orvtest::Noise(length, seed, 0.5f);
  for (std::size_t n = 0; n < length; ++n) noise[n] = noise[n - n % hold];
  return noise;
}

// A noise burst through a voice with a reverb send: finite, within +-1,
// ringing after the burst and settling afterwards.
void ExpectLivingBoundedRoom(double rate, bool spatialized) {
  auto engine = MakeEngine(rate, spatialized);
  const std::size_t burst = Frames(0.05, rate);
  ChannelParam p;
  p.gain = 0.5f;
  p.reverbGain = 1.0f;
  p.isSpatialized = spatialized;
  p.sourcePosition = {1.0f, 0.0f, 1.0f};
  engine->CreateChannel(0.0, std::make_shared<MonoBuffer>(MeasuredBandNoise(burst, rate, 21), rate),
                        p);
  const auto out = RenderFrames(*engine, Frames(4.0, rate));

  ASSERT_TRUE(AllFinite(out)) << rate;
  EXPECT_LE(PeakOf(out, 0, out.size() / 2), 1.0f) << rate;
  const double during = RmsOf(out, 0, burst);
  const double ringing = RmsOf(out, burst + Frames(0.05, rate), burst + Frames(0.3, rate));
  const double end = RmsOf(out, Frames(3.75, rate), Frames(4.0, rate));
  EXPECT_GT(during, 1e-2) << rate;
  EXPECT_GT(ringing, 1e-4) << rate << " Hz: the reverb rings after the burst";
  // An unstable filter would grow into the limiter instead.
  EXPECT_LT(end, 1e-2 * ringing) << rate << " Hz: the room settles";
  if (spatialized) {
    const double leftEnergy = orvtest::Energy(out.data(), 2 * burst, 2);
    const double rightEnergy = orvtest::Energy(out.data() + 1, 2 * burst, 2);
    // The full reverb send, alike in both ears, dilutes the difference:
    // 0.25 dB still tells a living binaural path from a dead or symmetric one.
    EXPECT_GT(std::fabs(10.0 * std::log10(rightEnergy / leftEnergy)), 0.25)
        << rate << " Hz: a source off the median plane sounds different in the two ears";
  }
}

TEST(EngineRoom, EveryRateGivesAFiniteBoundedLivingRoom) {
  for (double rate : kAllRates) ExpectLivingBoundedRoom(rate, false);
}

TEST(EngineRoom, EveryRateGivesAFiniteBoundedLivingBinauralRoom) {
  for (double rate : kAllRates) ExpectLivingBoundedRoom(rate, true);
}

TEST(EngineRoom, EveryRateKeepsTheEqualiserStable) {
  // A binaural burst without reverb send: once the responses, the equaliser
  // and the bass band-pass have rung out, the output is silent. A band
  // designed above Nyquist has a pole outside the unit circle and would grow
  // instead.
  for (double rate : kAllRates) {
    auto engine = MakeEngine(rate, true);
    const std::size_t burst = Frames(0.05, rate);
    ChannelParam p;
    p.gain = 0.5f;
    p.reverbGain = 0.0f;
    p.isSpatialized = true;
    p.sourcePosition = {1.0f, 0.0f, 1.0f};
    engine->CreateChannel(
        0.0, std::make_shared<MonoBuffer>(MeasuredBandNoise(burst, rate, 22), rate), p);
    const auto out = RenderFrames(*engine, Frames(1.0, rate));
    ASSERT_TRUE(AllFinite(out)) << rate;
    const double during = RmsOf(out, 0, burst);
    EXPECT_GT(during, 1e-2) << rate;
    EXPECT_LT(PeakOf(out, 0, burst), 1.0f) << rate << " Hz: the limiter stays idle";
    EXPECT_LT(RmsOf(out, burst + Frames(0.3, rate), out.size() / 2), 1e-4 * during) << rate;
  }
}

TEST(EngineRoom, NaNInAPositionedVoiceSilencesNeitherEqualiserNorBassEnhancer) {
  // A NaN sample in a positioned voice spreads over its convolution blocks;
  // the equaliser and the bass enhancer must take those frames as silence
  // and keep working.
  static constexpr double kRate = 48000.0;
  const auto playProbe = [](Engine& engine) {
    ChannelParam p;
    p.isSpatialized = true;
    p.sourcePosition = {1.0f, 0.0f, 1.0f};
    engine.CreateChannel(
        0.0, std::make_shared<MonoBuffer>(orvtest::Noise(Frames(0.2, kRate), 8, 0.3f), kRate), p);
  };
  auto engine = MakeEngine(kRate, true);
  std::vector<float> poisoned = orvtest::Noise(Frames(0.1, kRate), 6, 0.3f);
  poisoned[1234] = kNaN;
  ChannelParam p;
  p.reverbGain = 1.0f;
  p.isSpatialized = true;
  p.sourcePosition = {-1.0f, 0.0f, 0.5f};
  engine->CreateChannel(0.0, std::make_shared<MonoBuffer>(poisoned, kRate), p);
  ASSERT_TRUE(AllFinite(RenderFrames(*engine, Frames(0.5, kRate))));
  playProbe(*engine);
  const auto out = RenderFrames(*engine, Frames(0.2, kRate));

  auto fresh = MakeEngine(kRate, true);
  playProbe(*fresh);
  const auto expected = RenderFrames(*fresh, Frames(0.2, kRate));
  ASSERT_TRUE(AllFinite(out));
  // The first engine still carries the first voice's reverb tail.
  EXPECT_NEAR(RmsOf(out, 0, out.size() / 2), RmsOf(expected, 0, expected.size() / 2),
              0.2 * RmsOf(expected, 0, expected.size() / 2));
}

TEST(EngineRoom, TinySamplingRatesStillRender) {
  // Below 140 Hz even the bass band lies above Nyquist.
  for (double rate : {1.0, 50.0, 100.0}) {
    auto engine = MakeEngine(rate);
    ChannelParam p;
    p.reverbGain = 1.0f;
    engine->CreateChannel(0.0, std::make_shared<MonoBuffer>(orvtest::Noise(64, 4, 0.5f), rate), p);
    const auto out = RenderFrames(*engine, 400, {7});
    EXPECT_TRUE(AllFinite(out)) << rate;
    EXPECT_GT(PeakOf(out, 0, 64), 0.0f) << rate;
  }
}

// ----------------------------------------------------------------------------
// Equaliser bands

// Steady-state amplitude of a sine at frequency through the filter chain,
// fitted by least squares over the second half of two seconds.
double MeasureChainGain(std::vector<orv::DualBiquadFilter>& chain, double rate, double frequency) {
  const std::size_t n = Frames(2.0, rate);
  const double w = 2.0 * M_PI * frequency / rate;
  double ss = 0, sc = 0, cc = 0, ys = 0, yc = 0;
  for (std::size_t i = 0; i < n; ++i) {
    float left = static_cast<float>(std::sin(w * double(i)));
    float right = static_cast<float>(std::cos(w * double(i)));
    for (auto& band : chain) band.Process(left, right);
    if (i < n / 2) continue;
    const double s = std::sin(w * double(i)), c = std::cos(w * double(i));
    ss += s * s;
    sc += s * c;
    cc += c * c;
    ys += left * s;
    yc += left * c;
  }
  const double det = ss * cc - sc * sc;
  const double a = (ys * cc - yc * sc) / det;
  const double b = (yc * ss - ys * sc) / det;
  return std::hypot(a, b);
}

TEST(EqualizerBands, RealisedExactlyBelowNyquistAndStable) {
  for (double rate : kAllRates) {
    const float sr = static_cast<float>(rate);
    for (const auto& band : orv::kEqualizerBands) {
      orv::DualBiquadFilter filter;
      filter.PeakingEQ(sr, 1000.0f, 2.0f, 1.0f);  // some other design first
      const bool realised = orv::DesignEqualizerBand(filter, sr, band);
      EXPECT_EQ(realised, band.frequency < rate / 2.0) << rate << " Hz, band " << band.frequency;
      if (realised) {
        orv::DualBiquadFilter direct;
        direct.PeakingEQ(sr, band.frequency, band.gain, band.q);
        EXPECT_EQ(filter.b0, direct.b0);
        EXPECT_EQ(filter.b1, direct.b1);
        EXPECT_EQ(filter.b2, direct.b2);
        EXPECT_EQ(filter.na1, direct.na1);
        EXPECT_EQ(filter.na2, direct.na2);
        // Poles of z^2 - na1 z - na2 inside the unit circle (stability triangle).
        EXPECT_LT(std::fabs(filter.na2), 1.0f);
        EXPECT_LT(std::fabs(filter.na1), 1.0f - filter.na2);
      } else {
        EXPECT_EQ(filter.b0, 1.0f);
        EXPECT_EQ(filter.b1, 0.0f);
        EXPECT_EQ(filter.b2, 0.0f);
        EXPECT_EQ(filter.na1, 0.0f);
        EXPECT_EQ(filter.na2, 0.0f);
      }
    }
  }
  // The rates the design was made for keep all six bands.
  for (float sr : {44100.0f, 48000.0f}) {
    orv::DualBiquadFilter filter;
    for (const auto& band : orv::kEqualizerBands)
      EXPECT_TRUE(orv::DesignEqualizerBand(filter, sr, band));
  }
}

TEST(EqualizerBands, EachBandHasItsGainAtItsCentre) {
  // Least-squares fit of a float-precision filter over 2 s: the error is
  // dominated by the coefficients' rounding near the sharp bands.
  constexpr double kGainTolerance = 2e-3;
  for (double rate : {16000.0, 44100.0, 48000.0, 96000.0}) {
    for (const auto& band : orv::kEqualizerBands) {
      std::vector<orv::DualBiquadFilter> single(1);
      if (!orv::DesignEqualizerBand(single[0], static_cast<float>(rate), band)) continue;
      EXPECT_NEAR(MeasureChainGain(single, rate, band.frequency), band.gain,
                  kGainTolerance * band.gain)
          << rate << " Hz, band " << band.frequency;
    }
  }
}

TEST(EqualizerBands, TheChainIsTheProductOfItsBands) {
  // The engine's order of bands; the response is compared with the closed
  // forms of the cookbook designs, multiplied, in double.
  constexpr double kChainTolerance = 5e-3;  // relative; float coefficients of q 16 bands
  for (double rate : {16000.0, 48000.0}) {
    std::vector<orv::DualBiquadFilter> chain(orv::kNumEqualizerBands);
    std::vector<ReferenceBiquad> references;
    for (int b = 0; b < orv::kNumEqualizerBands; ++b) {
      const auto& band = orv::kEqualizerBands[b];
      if (orv::DesignEqualizerBand(chain[b], static_cast<float>(rate), band))
        references.push_back(ReferenceBiquad::Peaking(rate, band.frequency, band.gain, band.q));
    }
    for (double f : {100.0, 380.0, 1000.0, 1700.0, 3000.0, 6000.0, 7000.0}) {
      if (f >= rate / 2) continue;
      std::complex<double> h = 1.0;
      for (const auto& r : references) h *= r.Response(2.0 * M_PI * f / rate);
      for (auto& band : chain) band.Mute();
      EXPECT_NEAR(MeasureChainGain(chain, rate, f), std::abs(h), kChainTolerance * std::abs(h))
          << rate << " Hz at " << f << " Hz";
    }
  }
}

}  // namespace
