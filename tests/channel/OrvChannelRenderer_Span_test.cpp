// The span renderers against their per-sample form (ChannelReference.h):
// every sampler, speeds around 1, loop wraps and updates landing inside a
// span, plus the silence of a voice without a usable direction.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "channel/ChannelReference.h"
#include "channel/ChannelTestSupport.h"
#include "channel/OrvChannelRenderer.h"
#include "channel/OrvChannelRenderer_Renderers.h"
#include "common/OrvTestUtil.h"
#include "engine/OrvEngine.h"

namespace {

using orv::AudioFormat;
using orv::ChannelParam;
using orvtest::MakeMixBuffers;
using orvtest::PerSampleVoice;
using orvtest::RecordingSource;
using orvtest::TestBuffer;
using orvtest::VoiceKind;

constexpr double kRate = 48000.0;
constexpr int kBlock = 512;
constexpr int kFrames = 1500;
// The cursor runs and the span reads reproduce the per-sample reads bit for
// bit, and the dry mixes do the same arithmetic.
constexpr float kExact = 0.0f;
// The closed-form glide against the per-sample chain: both within a few
// single-precision ulps of the exact gain (the chain's error contracts by 0.9
// a step), times samples within +-1.
constexpr float kGlideRounding = 1e-6f;
// The low-pass regrouped four samples at a time against the per-sample chain
// (c = 0.3): each step's rounding, a few ulps, is damped by 1 - c per step,
// so the forms stay within ~4 ulps / c of each other for samples within +-1.
constexpr float kLowPassRounding = 1e-6f;

// Speeds 0.5, 1 and 1.7, and one whose step is a rounding tie at the cursor's
// binade (1 + 2^-44 in [512, 1024)): that run must take the per-sample form.
constexpr double kSpeeds[] = {0.5, 1.0, 1.7, 1.0 + 0x1p-44};

// Changes made between the pieces of a block, as queued updates would.
void Update(ChannelParam& p, int block, int piece, bool* isSeek) {
  *isSeek = false;
  switch ((block * 3 + piece) % 5) {
    case 0: p.gain = p.gain == 0.7f ? 0.2f : 0.7f; break;
    case 1:  // a distance glide
      p.sourcePosition = {p.sourcePosition.x + 2.0f, 0.5f, 1.0f};
      break;
    case 2:
      p.position = 700.5;
      *isSeek = true;
      break;
    case 3: p.speed = p.speed == 1.0 ? 1.7 : 1.0; break;
    default:
      p.loopStart = 11;
      p.loopEnd = 1400;
      break;
  }
}

void ExpectNear(const std::vector<float>& a, const std::vector<float>& b, float tolerance,
                const char* what) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) ASSERT_NEAR(a[i], b[i], tolerance) << what << " " << i;
}

template <class Sampler, AudioFormat format, VoiceKind kind>
void CompareWithPerSample(double speed, float lowPass) {
  SCOPED_TRACE(::testing::Message()
               << "kind " << static_cast<int>(kind) << " channels " << Sampler::kNumChannels
               << " looped " << Sampler::kLooped << " taps " << Sampler::kTapsAfter << " speed "
               << speed << " low-pass " << lowPass);
  const auto buffer = orvtest::RandomBuffer(Sampler::kNumChannels, format, kFrames);
  ChannelParam p;
  p.speed = speed;
  p.position = speed == 1.0 ? 3.0 : 0.25;  // whole frames: the plain copy
  p.gain = 0.7f;
  p.reverbGain = 0.3f;
  p.lowPassCoef = lowPass;
  p.isLooped = Sampler::kLooped;
  p.loopStart = 37;
  p.loopEnd = 1203;
  p.isSpatialized = kind == VoiceKind::kSpatialized;
  p.sourcePosition = {1.0f, 0.5f, 2.0f};
  ChannelParam fastParam = p, referenceParam = p;
  const auto fastSource = std::make_shared<RecordingSource>();
  const auto referenceSource = std::make_shared<RecordingSource>();
  const orv::Channel::RendererBuildParam build{
      buffer.get(), &fastParam, 1, Sampler::kNumChannels, format, kRate, nullptr};
  std::unique_ptr<orv::Channel::Renderer> fast;
  if constexpr (kind == VoiceKind::kSpatialized) {
    fast = std::make_unique<orv::SpatializedRenderer<Sampler, RecordingSource>>(build, fastSource);
  } else if constexpr (kind == VoiceKind::kMono) {
    fast = std::make_unique<orv::NonSpatializedMonoRenderer<Sampler>>(build);
  } else {
    fast = std::make_unique<orv::NonSpatializedMultiChannelRenderer<Sampler>>(build);
  }
  PerSampleVoice<Sampler, kind, RecordingSource> reference(*buffer, &referenceParam, kRate,
                                                           referenceSource);
  const float tolerance = (kind == VoiceKind::kSpatialized ? kGlideRounding : kExact) +
                          (lowPass != 1.0f ? kLowPassRounding : kExact);

  const int cuts[] = {0, 100, 357, 401, kBlock};  // pieces across span edges
  for (int block = 0; block < 5; ++block) {
    auto fastBuffers = MakeMixBuffers(kBlock), referenceBuffers = MakeMixBuffers(kBlock);
    for (int piece = 0; piece + 1 < 5; ++piece) {
      if (piece > 0) {
        bool isSeek = false;
        ChannelParam next = fastParam;
        Update(next, block, piece, &isSeek);
        for (ChannelParam* target : {&fastParam, &referenceParam}) {
          const double position = target->position;
          *target = next;
          if (!isSeek) target->position = position;
        }
        fast->ParamUpdated();
        reference.ParamUpdated();
      }
      const int offset = cuts[piece], count = cuts[piece + 1] - cuts[piece];
      ASSERT_EQ(fast->Render(offset, count, fastBuffers),
                reference.Render(offset, count, referenceBuffers))
          << "block " << block << " piece " << piece;
      ASSERT_EQ(fastParam.position, referenceParam.position) << "block " << block;
    }
    ExpectNear(fastBuffers.mainMix, referenceBuffers.mainMix, tolerance, "mainMix");
    ExpectNear(fastBuffers.reverbSend, referenceBuffers.reverbSend, tolerance, "reverbSend");
    ExpectNear(fastBuffers.sourceScratch, referenceBuffers.sourceScratch, tolerance, "scratch");
    ExpectNear(fastBuffers.dryMonoSum, referenceBuffers.dryMonoSum, tolerance, "dryMonoSum");
  }
  ASSERT_EQ(fastSource->calls.size(), referenceSource->calls.size());
  for (std::size_t i = 0; i < fastSource->calls.size(); ++i) {
    ASSERT_EQ(fastSource->calls[i].offset, referenceSource->calls[i].offset);
    ExpectNear(fastSource->calls[i].copy, referenceSource->calls[i].copy, tolerance, "Mix");
  }
}

template <class Sampler, AudioFormat format>
void CompareKinds() {
  for (double speed : kSpeeds) {
    for (float lowPass : {1.0f, 0.3f}) {
      if constexpr (Sampler::kNumChannels == 2) {
        CompareWithPerSample<Sampler, format, VoiceKind::kStereo>(speed, lowPass);
      } else {
        CompareWithPerSample<Sampler, format, VoiceKind::kMono>(speed, lowPass);
        CompareWithPerSample<Sampler, format, VoiceKind::kSpatialized>(speed, lowPass);
      }
    }
  }
}

template <int numChannels, AudioFormat format, bool looped>
void CompareInterpolations() {
  CompareKinds<orv::NearestSampler<numChannels, format, looped>, format>();
  CompareKinds<orv::LinearSampler<numChannels, format, looped>, format>();
  CompareKinds<orv::CubicSampler<numChannels, format, looped>, format>();
}

template <int numChannels, AudioFormat format>
void CompareLoopSettings() {
  CompareInterpolations<numChannels, format, false>();
  CompareInterpolations<numChannels, format, true>();
}

// A run's promise: each addition of step to the cursor lands exactly on
// x + k * delta (checked in extended precision), here across magnitudes and
// right up to the top of a binade, where the next addition would round.
TEST(SpanRenderers, RunsAddUpExactlyAsTheCursorSteps) {
  std::mt19937_64 random(5);
  int runs = 0;
  for (int e : {-960, -40, 0, 1, 10, 30, 52, 60}) {
    for (double step : {1.0, 0.5, 1.7, 1.0 / 3.0, 1e-6, 0.999, 3e5}) {
      for (int trial = 0; trial < 20; ++trial) {
        const double top = std::ldexp(1.0, e + 1);
        // Half the cursors a few steps below the binade's top.
        const double x = trial % 2 ? top - step * static_cast<double>(trial)
                                   : std::ldexp(1.0 + std::ldexp(random() >> 12, -52), e);
        double delta = 0.0;
        const int m = orv::ExactRunLength(x, step, 300, delta);
        runs += m > 0;
        double cursor = x;
        for (int k = 1; k <= m; ++k) {
          cursor += step;
          ASSERT_EQ(static_cast<long double>(cursor),
                    static_cast<long double>(x) + k * static_cast<long double>(delta))
              << "x " << x << " step " << step << " k " << k << " of " << m;
        }
      }
    }
  }
  EXPECT_GT(runs, 500);  // the rest step one by one: steps too large or too small for x
}

TEST(SpanRenderers, All36SamplersMatchThePerSampleForm) {
  CompareLoopSettings<1, orv::kAudioFormatUInt8>();
  CompareLoopSettings<1, orv::kAudioFormatInt16>();
  CompareLoopSettings<1, orv::kAudioFormatFloat32>();
  CompareLoopSettings<2, orv::kAudioFormatUInt8>();
  CompareLoopSettings<2, orv::kAudioFormatInt16>();
  CompareLoopSettings<2, orv::kAudioFormatFloat32>();
}

}  // namespace
