// orv-render's parts on their own: keyframes, air absorption, generators,
// sound files, scene reading, the output file, levels and the command line.
// None of these needs the library.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <functional>
#include <sstream>

#include "AirAbsorption.h"
#include "CommandLine.h"
#include "Generators.h"
#include "JsonReader.h"
#include "Keyframes.h"
#include "Levels.h"
#include "OutputFile.h"
#include "RenderTestSupport.h"
#include "Scene.h"
#include "Sounds.h"
#include "UserError.h"

namespace orvrender {
namespace {

using orvrendertest::TempFolder;

// Interpolated directions are computed in double precision from unit
// quaternions: a few ulps per operation.
constexpr double kDirectionTolerance = 1e-9;

double DegreesAroundUp(Vec3 front) {  // 0 = -z, 90 = +x (turned right)
  return std::atan2(front.x, -front.z) * 180.0 / M_PI;
}

void ExpectNear(Vec3 a, Vec3 b, double tolerance) {
  EXPECT_NEAR(a.x, b.x, tolerance);
  EXPECT_NEAR(a.y, b.y, tolerance);
  EXPECT_NEAR(a.z, b.z, tolerance);
}

ListenerKey Key(double time, Vec3 front, Vec3 up = {0, 1, 0}, Vec3 position = {}) {
  ListenerKey k;
  k.time = time;
  k.front = front;
  k.up = up;
  k.position = position;
  return k;
}

TEST(ListenerTrack, HoldsTheEndsAndPassesThroughEveryKeyframe) {
  const ListenerTrack track(
      {Key(1.0, {0, 0, -1}, {0, 1, 0}, {1, 2, 3}), Key(2.5, {1, 0, 0}, {0, 1, 0}, {4, 2, 3})});
  ExpectNear(track.At(0.0).front, {0, 0, -1}, kDirectionTolerance);
  ExpectNear(track.At(0.0).position, {1, 2, 3}, 0.0);
  ExpectNear(track.At(2.5).front, {1, 0, 0}, kDirectionTolerance);
  ExpectNear(track.At(99.0).front, {1, 0, 0}, kDirectionTolerance);
  ExpectNear(track.At(99.0).position, {4, 2, 3}, 0.0);
  ExpectNear(track.At(1.75).position, {2.5, 2, 3}, 1e-12);
}

TEST(ListenerTrack, TurnsAtAnEvenRateTheShorterWay) {
  // A quarter turn to the right over one second, then back to the left.
  const ListenerTrack track({Key(0.0, {0, 0, -1}), Key(1.0, {1, 0, 0}), Key(2.0, {0, 0, -1})});
  for (double t = 0.0; t <= 1.0; t += 0.125) {
    const ListenerPose pose = track.At(t);
    EXPECT_NEAR(DegreesAroundUp(pose.front), 90.0 * t, 1e-7) << "t = " << t;
    ExpectNear(pose.up, {0, 1, 0}, kDirectionTolerance);
    EXPECT_NEAR(pose.front.y, 0.0, kDirectionTolerance);
  }
  EXPECT_NEAR(DegreesAroundUp(track.At(1.5).front), 45.0, 1e-7);
  // 350 degrees is reached by turning 10 degrees left, not 350 right.
  const double a = 350.0 * M_PI / 180.0;
  const ListenerTrack wrap({Key(0.0, {0, 0, -1}), Key(1.0, {std::sin(a), 0, -std::cos(a)})});
  EXPECT_NEAR(DegreesAroundUp(wrap.At(0.5).front), -5.0, 1e-7);
}

TEST(ListenerTrack, SendsUnitOrthogonalVectorsWhateverTheKeysLength) {
  // The library scales positions by the front vector's length, so what the
  // tool sends must be of unit length even when the scene's vectors are not.
  const ListenerTrack track({Key(0.0, {0, 0, -3}, {0, 5, 1}), Key(1.0, {2, 1, 0}, {0, 2, 0})});
  for (double t : {0.0, 0.3, 0.7, 1.0}) {
    const ListenerPose p = track.At(t);
    EXPECT_NEAR(Length(p.front), 1.0, kDirectionTolerance);
    EXPECT_NEAR(Length(p.up), 1.0, kDirectionTolerance);
    EXPECT_NEAR(Dot(p.front, p.up), 0.0, kDirectionTolerance);
  }
  // Up is made orthogonal to front within the plane the scene gave.
  ExpectNear(track.At(0.0).up, {0, 1, 0}, kDirectionTolerance);
}

TEST(ListenerTrack, KeyframesAtTheSameTimeJump) {
  const ListenerTrack track({Key(0.0, {0, 0, -1}), Key(1.0, {0, 0, -1}), Key(1.0, {-1, 0, 0})});
  ExpectNear(track.At(0.999).front, {0, 0, -1}, kDirectionTolerance);
  ExpectNear(track.At(1.0).front, {-1, 0, 0}, kDirectionTolerance);
}

TEST(ListenerTrack, RestsLookingDownMinusZWithoutKeyframes) {
  const ListenerPose p = ListenerTrack({}).At(3.0);
  ExpectNear(p.front, {0, 0, -1}, 0.0);
  ExpectNear(p.up, {0, 1, 0}, 0.0);
  // The library's right is front x up: +x, as the scene format documents.
  ExpectNear(Cross(p.front, p.up), {1, 0, 0}, 0.0);
}

TEST(RoomTrack, MovesEachValueLinearlyAndHoldsTheEnds) {
  RoomKey a, b;
  a.time = 2.0;
  a.room = {0.2f, 100.0f, 50.0f, 2.0f, 1.0f};
  b.time = 4.0;
  b.room = {0.6f, 300.0f, 150.0f, 6.0f, 0.0f};
  const RoomTrack track({a, b});
  const ReverbParam mid = track.At(3.0);
  EXPECT_FLOAT_EQ(mid.reflectivity, 0.4f);
  EXPECT_FLOAT_EQ(mid.roomVolume, 200.0f);
  EXPECT_FLOAT_EQ(mid.roomArea, 100.0f);
  EXPECT_FLOAT_EQ(mid.roomSize, 4.0f);
  EXPECT_FLOAT_EQ(mid.enclosure, 0.5f);
  const ReverbParam before = track.At(0.0), after = track.At(10.0);
  EXPECT_EQ(std::memcmp(&before, &a.room, sizeof before), 0);
  EXPECT_EQ(std::memcmp(&after, &b.room, sizeof after), 0);
  const ReverbParam none = RoomTrack({}).At(1.0), room = DefaultRoom();
  EXPECT_EQ(std::memcmp(&none, &room, sizeof none), 0);
}

// --- Air absorption ----------------------------------------------------------

// |H| of the one-pole low-pass y += c (x - y) at angular frequency w.
double OnePoleMagnitude(double c, double w) {
  return c / std::abs(1.0 - (1.0 - c) * std::polar(1.0, -w));
}

TEST(AirAbsorption, CutoffFollowsTheSquareLawOfAir) {
  const AirAbsorption air(48000.0, 1.0);
  // 3 dB of loss at fc: a * fc^2 * d = 3 with a = 1e-9 dB/(m Hz^2).
  EXPECT_NEAR(air.Cutoff(100.0), std::sqrt(3.0 / (1e-9 * 100.0)), 1e-6);
  EXPECT_NEAR(air.Cutoff(400.0), air.Cutoff(100.0) / 2.0, 1e-6);
  EXPECT_NEAR(AirAbsorption(48000.0, 4.0).Cutoff(100.0), air.Cutoff(400.0), 1e-6);
}

TEST(AirAbsorption, CoefficientPutsTheFilterCornerAtTheCutoff) {
  // The one-pole matches its analogue corner well below the Nyquist rate;
  // at fc / fs < 0.04 the -3 dB point is off by less than 0.5 %.
  constexpr double kCornerTolerance = 0.005;
  const double rate = 48000.0;
  const AirAbsorption air(rate, 1.0);
  for (double distance : {1000.0, 3000.0, 10000.0}) {
    const double fc = air.Cutoff(distance);
    ASSERT_LT(fc / rate, 0.04);
    const double gain = OnePoleMagnitude(air.Coefficient(distance), 2.0 * M_PI * fc / rate);
    EXPECT_NEAR(gain, std::sqrt(0.5), kCornerTolerance) << distance << " m";
  }
}

TEST(AirAbsorption, NearSourcesAndNoAirPassUnfiltered) {
  AirAbsorption air(48000.0, 1.0);
  EXPECT_EQ(air.Coefficient(0.0), 1.0f);
  EXPECT_GT(air.Coefficient(1.0), 0.999f);
  EXPECT_LT(air.Coefficient(200.0), air.Coefficient(20.0));
  EXPECT_EQ(AirAbsorption(48000.0, 0.0).Coefficient(500.0), 1.0f);
  // The callback measures from the listener, wherever it stands.
  air.SetListener({300, 0, 0});
  const Vector3 atListener{300, 0, 0}, far{0, 0, 0};
  float c = -1.0f;
  AirAbsorption::Callback(&atListener, &c, &air);
  EXPECT_EQ(c, 1.0f);
  AirAbsorption::Callback(&far, &c, &air);
  EXPECT_FLOAT_EQ(c, air.Coefficient(300.0));
}

// --- Generators --------------------------------------------------------------

SoundDefinition Generator(SoundKind kind, double duration, int channels = 1) {
  SoundDefinition s;
  s.name = "test";
  s.kind = kind;
  s.shape.duration = duration;
  s.shape.channels = channels;
  s.shape.attack = 0.0;
  s.shape.release = 0.0;
  return s;
}

std::vector<float> Channel(const std::vector<float>& interleaved, int channels, int c) {
  std::vector<float> out;
  for (std::size_t i = static_cast<std::size_t>(c); i < interleaved.size(); i += channels)
    out.push_back(interleaved[i]);
  return out;
}

double Energy(const std::vector<float>& x, std::size_t from = 0, std::size_t to = SIZE_MAX) {
  double e = 0.0;
  for (std::size_t i = from; i < std::min(to, x.size()); ++i) e += static_cast<double>(x[i]) * x[i];
  return e;
}

// Energy of the bins of a direct DFT of x[from, from + n) between f0 and f1.
double BandEnergy(const std::vector<float>& x, std::size_t from, std::size_t n, double rate,
                  double f0, double f1) {
  double e = 0.0;
  for (std::size_t k = static_cast<std::size_t>(f0 * n / rate); k <= f1 * n / rate; ++k) {
    std::complex<long double> sum = 0.0L;
    for (std::size_t i = 0; i < n; ++i)
      sum += static_cast<long double>(x[from + i]) *
             std::polar(1.0L, -2.0L * static_cast<long double>(M_PI) * k * i / n);
    e += static_cast<double>(std::norm(sum));
  }
  return e;
}

TEST(Generators, SineIsTheClosedFormAtTheAskedLength) {
  SoundDefinition s = Generator(SoundKind::Sine, 0.25);
  s.frequency = 1000.0;
  s.shape.amplitude = 0.5;
  const std::vector<float> x = Generate(s, 8000.0);
  ASSERT_EQ(x.size(), 2000u);
  for (std::size_t i = 0; i < x.size(); ++i)
    ASSERT_NEAR(x[i], 0.5 * std::sin(2.0 * M_PI * 1000.0 * i / 8000.0), 1e-6) << i;
}

TEST(Generators, ShapeFadesDecaysAndPans) {
  SoundDefinition s = Generator(SoundKind::Sine, 1.0, 2);
  s.frequency = 100.0;  // whole periods in every 10 ms window below
  s.shape.amplitude = 1.0;
  s.shape.attack = 0.1;
  s.shape.decay = 0.3;
  s.shape.pan = -1.0;
  const double rate = 8000.0;
  const std::vector<float> x = Generate(s, rate);
  const std::vector<float> left = Channel(x, 2, 0), right = Channel(x, 2, 1);
  EXPECT_EQ(Energy(right), 0.0);  // hard left
  EXPECT_EQ(left[0], 0.0f);       // the attack starts from silence
  // Past the attack the level is exp(-t / decay): compare two 10 ms windows.
  const auto rmsAt = [&](double t) {
    const std::size_t from = static_cast<std::size_t>(t * rate);
    return std::sqrt(Energy(left, from, from + 80) / 80.0);
  };
  EXPECT_NEAR(rmsAt(0.6) / rmsAt(0.3), std::exp(-1.0), 0.02);
  s.shape.pan = 0.0;
  const std::vector<float> centred = Generate(s, rate);
  EXPECT_EQ(Channel(centred, 2, 0), Channel(centred, 2, 1));  // centre: both at full level
}

TEST(Generators, NoiseIsRepeatableWideAndColoured) {
  SoundDefinition s = Generator(SoundKind::Noise, 1.0, 2);
  s.shape.amplitude = 0.25;
  const std::vector<float> a = Generate(s, 16000.0), b = Generate(s, 16000.0);
  EXPECT_EQ(a, b);
  float peak = 0.0f;
  for (float v : a) peak = std::max(peak, std::fabs(v));
  EXPECT_NEAR(peak, 0.25f, 1e-6f);
  // The two channels are independent noises: nearly uncorrelated.
  const std::vector<float> l = Channel(a, 2, 0), r = Channel(a, 2, 1);
  double lr = 0.0;
  for (std::size_t i = 0; i < l.size(); ++i) lr += static_cast<double>(l[i]) * r[i];
  EXPECT_LT(std::fabs(lr) / std::sqrt(Energy(l) * Energy(r)), 0.05);
  s.shape.seed = 2;
  EXPECT_NE(Generate(s, 16000.0), a);

  // Redder noise changes less from sample to sample: E[diff^2] / E[x^2] is
  // 2 for white noise and falls for pink, and further for brown.
  const auto roughness = [](SoundDefinition sound, NoiseColor color) {
    sound.shape.channels = 1;
    sound.color = color;
    const std::vector<float> x = Generate(sound, 16000.0);
    double diff = 0.0;
    for (std::size_t i = 1; i < x.size(); ++i) diff += std::pow(x[i] - x[i - 1], 2.0);
    return diff / Energy(x);
  };
  const double white = roughness(s, NoiseColor::White);
  const double pink = roughness(s, NoiseColor::Pink);
  const double brown = roughness(s, NoiseColor::Brown);
  EXPECT_NEAR(white, 2.0, 0.05);
  EXPECT_LT(pink, 0.8 * white);
  EXPECT_LT(brown, 0.2 * pink);
}

TEST(Generators, ChirpSweepsBetweenItsFrequencies) {
  SoundDefinition s = Generator(SoundKind::Chirp, 1.0);
  s.startFrequency = 200.0;
  s.endFrequency = 3200.0;
  const double rate = 16000.0;
  const std::vector<float> x = Generate(s, rate);
  // Exponential: at the middle the frequency is the geometric mean, 800 Hz.
  const std::size_t n = 512, mid = x.size() / 2 - n / 2;
  EXPECT_GT(BandEnergy(x, mid, n, rate, 700, 900), 10.0 * BandEnergy(x, mid, n, rate, 1500, 1900));
  s.isExponential = false;  // linear: the arithmetic mean, 1700 Hz
  const std::vector<float> y = Generate(s, rate);
  EXPECT_GT(BandEnergy(y, mid, n, rate, 1600, 1800), 10.0 * BandEnergy(y, mid, n, rate, 700, 900));
}

TEST(Generators, ClicksStartOnTheirGridAndAlternateTheirTone) {
  SoundDefinition s = Generator(SoundKind::Clicks, 1.0);
  s.interval = 0.1;
  s.tone = 3000.0;
  s.alternateTone = 1500.0;
  s.clickDecay = 0.002;
  const double rate = 48000.0;
  const std::vector<float> x = Generate(s, rate);
  const std::size_t step = 4800;
  for (std::size_t k = 0; k < 10; ++k) {
    const std::size_t at = k * step;
    // Loud in its first 5 ms, silent half-way to the next (exp(-25)).
    EXPECT_GT(Energy(x, at, at + 240), 1.0) << "click " << k;
    EXPECT_LT(Energy(x, at + 2400, at + 2640), 1e-12) << "click " << k;
    // Zero crossings over the first 4 ms give the ring frequency.
    int crossings = 0;
    for (std::size_t i = at + 1; i < at + 192; ++i)
      crossings += (x[i - 1] < 0.0f) != (x[i] < 0.0f) ? 1 : 0;
    const double tone = crossings / 2.0 / 0.004;
    EXPECT_NEAR(tone, k % 2 == 0 ? 3000.0 : 1500.0, 300.0) << "click " << k;
  }
}

TEST(Generators, VoiceSpeaksInSyllablesThroughItsFormants) {
  SoundDefinition s = Generator(SoundKind::Voice, 2.0);
  s.vowels = "i";  // formants 270, 2290, 3010 Hz
  s.syllableRate = 4.0;
  const double rate = 16000.0;
  const std::vector<float> x = Generate(s, rate);
  const std::size_t syllable = 4000;
  for (std::size_t k = 0; k < 8; ++k) {
    const std::size_t at = k * syllable;
    // Voiced in the first three quarters, quiet in the last tenth.
    const double voiced = Energy(x, at + 1000, at + 2000);
    const double gap = Energy(x, at + 3500, at + 4000);
    EXPECT_LT(gap, 1e-3 * voiced) << "syllable " << k;
  }
  // The second formant stands above the trough between F1 and F2.
  const std::size_t from = 1000, n = 2048;
  EXPECT_GT(BandEnergy(x, from, n, rate, 2200, 2400),
            4.0 * BandEnergy(x, from, n, rate, 1200, 1400));
}

TEST(Generators, SampleFormatsRoundTrip) {
  const std::vector<float> x{-1.0f, -0.5f, 0.0f, 0.25f, 0.999f};
  const SoundData u8 = FromFloat(x, 1, 8000.0, 8);
  const SoundData s16 = FromFloat(x, 1, 8000.0, 16);
  const SoundData f32 = FromFloat(x, 1, 8000.0, 32);
  ASSERT_EQ(u8.bytes.size(), 5u);
  ASSERT_EQ(s16.bytes.size(), 10u);
  ASSERT_EQ(f32.bytes.size(), 20u);
  const auto* pcm = reinterpret_cast<const std::int16_t*>(s16.bytes.data());
  const auto* flt = reinterpret_cast<const float*>(f32.bytes.data());
  for (std::size_t i = 0; i < x.size(); ++i) {
    EXPECT_NEAR((u8.bytes[i] - 128) / 128.0, x[i], 1.0 / 128.0);
    EXPECT_NEAR(pcm[i] / 32768.0, x[i], 1.0 / 32768.0);
    EXPECT_EQ(flt[i], x[i]);
  }
  const BufferParam p = s16.Param();
  EXPECT_EQ(p.bits, 16);
  EXPECT_EQ(p.numChannels, 1);
  EXPECT_EQ(p.numSamples, 5);
  EXPECT_EQ(p.samplingRate, 8000.0);
}

// --- Sound files ---------------------------------------------------------------

SoundDefinition FileSound(const std::string& file) {
  SoundDefinition s;
  s.kind = SoundKind::File;
  s.path = "$.sounds.x";
  s.file = file;
  return s;
}

TEST(SoundFiles, KeepTheirSampleFormatRateAndChannels) {
  TempFolder folder;
  const std::vector<float> stereo{0.5f, -0.5f, 0.25f, -0.25f, 0.0f, 0.75f};
  struct Case {
    int format;
    int bits;
  } cases[] = {{SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 8},
               {SF_FORMAT_WAV | SF_FORMAT_PCM_16, 16},
               {SF_FORMAT_WAV | SF_FORMAT_FLOAT, 32},
               {SF_FORMAT_WAV | SF_FORMAT_PCM_24, 32},
               {SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 16}};
  for (const Case& c : cases) {
    const std::string file = folder / ("s" + std::to_string(c.format) + ".snd");
    orvrendertest::WriteSound(file, stereo, 2, 22050, c.format);
    const SoundData data = ReadSoundFile(FileSound(file));
    EXPECT_EQ(data.bits, c.bits) << std::hex << c.format;
    EXPECT_EQ(data.channels, 2);
    EXPECT_EQ(data.frames, 3);
    EXPECT_EQ(data.sampleRate, 22050.0);
    for (std::size_t i = 0; i < stereo.size(); ++i) {
      double v = 0.0;
      if (data.bits == 8) v = (data.bytes[i] - 128) / 128.0;
      if (data.bits == 16)
        v = reinterpret_cast<const std::int16_t*>(data.bytes.data())[i] / 32768.0;
      if (data.bits == 32) v = reinterpret_cast<const float*>(data.bytes.data())[i];
      EXPECT_NEAR(v, stereo[i], 1.0 / 128.0) << std::hex << c.format << " sample " << i;
    }
  }
}

void ExpectUserError(const std::function<void()>& f, const std::vector<std::string>& parts) {
  try {
    f();
    ADD_FAILURE() << "no error";
  } catch (const UserError& e) {
    for (const std::string& p : parts)
      EXPECT_NE(std::string(e.what()).find(p), std::string::npos)
          << "'" << p << "' not in: " << e.what();
  }
}

TEST(SoundFiles, RefuseWhatCannotBePlayedAndSayWhy) {
  TempFolder folder;
  ExpectUserError([&] { ReadSoundFile(FileSound(folder / "missing.wav")); },
                  {"$.sounds.x.file", "missing.wav", "No such file"});
  orvrendertest::WriteText(folder / "text.wav", "this is not a sound file\n");
  ExpectUserError([&] { ReadSoundFile(FileSound(folder / "text.wav")); },
                  {"$.sounds.x.file", "text.wav", "cannot read the sound"});
  orvrendertest::WriteSound(folder / "three.wav", std::vector<float>(9, 0.1f), 3, 8000,
                            SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  ExpectUserError([&] { ReadSoundFile(FileSound(folder / "three.wav")); },
                  {"three.wav", "3 channels", "mono and stereo"});
}

TEST(SoundFiles, ASoundTooLargeForMemoryIsRefusedBeforeItIsMade) {
  // 11 000 s at 192 kHz: 2.1e9 frames, within a buffer's frame count but
  // 8.4 GB as float.
  SoundDefinition sound = Generator(SoundKind::Sine, 11000.0);
  sound.path = "$.sounds.x";
  sound.shape.sampleRate = 192000.0;
  ExpectUserError([&] { LoadSound(sound, 48000.0); },
                  {"$.sounds.x.duration: the sound is too long: 2112000000 samples",
                   "at most 268435456 samples"});
}

// --- Scenes ------------------------------------------------------------------

Scene SceneFrom(const TempFolder& folder, const std::string& text) {
  orvrendertest::WriteText(folder / "scene.json", text);
  return LoadScene(folder / "scene.json");
}

void ExpectSceneError(const std::string& text, const std::vector<std::string>& parts) {
  TempFolder folder;
  ExpectUserError([&] { SceneFrom(folder, text); }, parts);
}

TEST(SceneFile, FillsDefaultsAndReadsEverySection) {
  // ParseScene: the sound file a.wav is named but not there.
  TempFolder folder;
  const Scene scene = ParseScene(R"({
    "duration": 3,
    "sounds": {"a": {"file": "a.wav"}, "b": {"generator": "sine", "duration": 0.5}},
    "listener": [{"time": 1, "position": [1, 2, 3]}, {"time": 2, "front": [1, 0, 0]}],
    "room": [{"time": 0, "roomSize": 9}],
    "events": [{"time": 0.5, "sound": "b", "mode": "world", "position": [1, 0, 0],
                "repeat": {"interval": 0.25, "step": [0, 0, -1]}},
               {"time": 0, "sound": "a", "mode": "local", "repeat": {"count": 3, "interval": 1}}]
  })",
                                 folder / "scene.json");
  EXPECT_EQ(scene.sampleRate, 48000.0);
  EXPECT_EQ(scene.duration, 3.0);
  EXPECT_EQ(scene.blockSize, 512);
  EXPECT_EQ(scene.threads, 1);
  EXPECT_EQ(scene.polyphony, 64);
  ASSERT_EQ(scene.sounds.size(), 2u);
  EXPECT_EQ(scene.sounds[0].name, "a");               // document order
  EXPECT_EQ(scene.sounds[0].file, folder / "a.wav");  // relative to the scene
  EXPECT_EQ(scene.sounds[1].kind, SoundKind::Sine);
  ASSERT_EQ(scene.listener.size(), 2u);
  ExpectNear(scene.listener[1].position, {1, 2, 3}, 0.0);  // carried from the keyframe before
  ExpectNear(scene.listener[1].front, {1, 0, 0}, 0.0);
  ASSERT_EQ(scene.room.size(), 1u);
  EXPECT_EQ(scene.room[0].room.roomSize, 9.0f);
  EXPECT_EQ(scene.room[0].room.roomVolume, DefaultRoom().roomVolume);
  ASSERT_EQ(scene.events.size(), 2u);
  EXPECT_TRUE(scene.events[0].isUntilEnd);
  EXPECT_EQ(scene.events[0].sound, 1u);
  EXPECT_EQ(scene.events[0].mode, PlayMode::World);
  EXPECT_EQ(scene.events[1].count, 3);
  EXPECT_EQ(scene.events[1].path, "$.events[1]");
}

TEST(SceneFile, SyntaxErrorsNameLineAndColumn) {
  ExpectSceneError("{\n  \"duration\": 1,\n  \"sounds\": {,}\n}\n",
                   {"scene.json:3:14:", "line 3, column 14"});
  ExpectSceneError("{\"duration\": 1", {"line 1, column 15"});
}

TEST(SceneFile, UnknownKeysNameTheirPathAndTheLikelyKey) {
  ExpectSceneError(R"({"duraton": 1})", {"$.duraton: unknown key", "did you mean 'duration'"});
  ExpectSceneError(
      R"({"sounds": {"my tone": {"generator": "sine", "duration": 1, "frequncy": 5}}})",
      {"$.sounds[\"my tone\"].frequncy: unknown key", "'frequency'"});
  ExpectSceneError(R"({"events": [{}, {"time": 0, "sound": "x", "mode": "local", "volme": 1}]})",
                   {"$.events[0]: missing key 'time'"});
  ExpectSceneError(R"({"room": [{"time": 0, "size": 3}]})", {"$.room[0].size: unknown key"});
}

TEST(SceneFile, ValuesOutOfRangeNameTheirPathAndTheRange) {
  ExpectSceneError(R"({"sampleRate": 100})",
                   {"$.sampleRate: 100 is out of range", "between 8000 and 384000"});
  ExpectSceneError(R"({"blockSize": 0})", {"$.blockSize: 0 is out of range"});
  ExpectSceneError(R"({"duration": 0})", {"$.duration: 0 is out of range", "greater than 0"});
  ExpectSceneError(R"({"threads": 1.5})", {"$.threads: expected a whole number"});
  ExpectSceneError(R"({"sounds": {"s": {"generator": "noise", "duration": 1, "amplitude": 2}}})",
                   {"$.sounds.s.amplitude: 2 is out of range"});
  ExpectSceneError(R"({"sounds": {"s": {"generator": "noise", "duration": 1, "bits": 24}}})",
                   {"$.sounds.s.bits: 24 is out of range"});
  ExpectSceneError(R"({"room": [{"time": 0, "reflectivity": -0.5}]})",
                   {"$.room[0].reflectivity: -0.5 is out of range"});
  ExpectSceneError(R"({"sounds": {"s": {"generator": "sine", "duration": "long"}}})",
                   {"$.sounds.s.duration: expected a number, found a string"});
}

TEST(SceneFile, InconsistentScenesAreRefused) {
  const std::string sound = R"("sounds": {"s": {"generator": "sine", "duration": 1}})";
  ExpectSceneError("{" + sound + R"(, "events": [{"time": 0, "sound": "t", "mode": "local"}]})",
                   {"$.events[0].sound: no sound named \"t\"", "(sounds: s)"});
  ExpectSceneError(
      "{" + sound +
          R"(, "events": [{"time": 0, "sound": "s", "mode": "local", "position": [1, 0, 0]}]})",
      {"$.events[0].position: a local sound has no position"});
  ExpectSceneError("{" + sound + R"(, "events": [{"time": 0, "sound": "s", "mode": "world"}]})",
                   {"$.events[0]: missing key 'position'"});
  ExpectSceneError(
      "{" + sound +
          R"(, "events": [{"time": 0, "sound": "s", "mode": "wrld", "position": [1, 0, 0]}]})",
      {"$.events[0].mode: unknown value \"wrld\"", "did you mean \"world\""});
  ExpectSceneError(
      "{" + sound +
          R"(, "events": [{"time": 0, "sound": "s", "mode": "local", "repeat": {"count": 2}}]})",
      {"$.events[0].repeat: missing key 'interval'"});
  ExpectSceneError(R"({"listener": [{"time": 2}, {"time": 1}]})",
                   {"$.listener[1]: keyframes must be in time order"});
  ExpectSceneError(R"({"listener": [{"time": 0, "front": [0, 2, 0]}]})",
                   {"$.listener[0]: front and up point along the same line"});
  ExpectSceneError(R"({"listener": [{"time": 0, "up": [0, 0, 0]}]})",
                   {"$.listener[0].up: the up vector has no length"});
  ExpectSceneError(R"({"listener": [{"time": 0, "position": [0, 0]}]})",
                   {"$.listener[0].position: expected a vector [x, y, z]"});
  ExpectSceneError(R"({"sounds": {"s": {"file": "a.wav", "generator": "sine"}}})",
                   {"$.sounds.s: a sound needs exactly one of"});
  ExpectSceneError(R"([1, 2])", {"$: expected an object, found an array"});
}

TEST(SceneFile, EventsReadKeyframesLoopsAndStopsAndReportEveryMistakeInOneRun) {
  const Scene scene = ParseScene(R"({"duration": 5,
    "sounds": {"s": {"generator": "sine", "duration": 1}},
    "events": [{"time": 1, "sound": "s", "mode": "world", "loop": true, "stop": 4,
                "positions": [{"time": 0, "position": [1, 2, 3]}, {"time": 2, "position": [5, 2, 3]}],
                "volumes": [{"time": 0.5, "volume": 2}], "speeds": [{"time": 0, "speed": 0.5}]}]})",
                                 "x.json");
  ASSERT_EQ(scene.events.size(), 1u);
  const EventDefinition& e = scene.events[0];
  EXPECT_TRUE(e.isLooping);
  EXPECT_EQ(e.stop, 4.0);
  ASSERT_EQ(e.positions.size(), 2u);
  ExpectNear(e.positions[1].position, {5, 2, 3}, 0.0);
  ExpectNear(e.position, {1, 2, 3}, 0.0);  // where the play starts
  ASSERT_EQ(e.volumes.size(), 1u);
  EXPECT_EQ(e.volumes[0].value, 2.0);
  ASSERT_EQ(e.speeds.size(), 1u);
  EXPECT_EQ(e.speeds[0].value, 0.5);

  try {
    ParseScene(R"({"duration": 1, "sounds": {"s": {"generator": "sine", "duration": 1}},
 "events": [{"time": 0, "sound": "s", "mode": "local", "loop": true, "repeat": {"count": 2, "interval": 1}},
  {"time": 0, "sound": "s", "mode": "world", "position": [0, 0, 0], "positions": [{"time": 0, "position": [1, 2, 3]}]},
  {"time": 0, "sound": "s", "mode": "local", "positions": [{"time": 0, "position": [1, 2, 3]}]},
  {"time": 0.5, "sound": "s", "mode": "relative", "stop": 0.2, "loop": 1,
   "positions": [{"time": 1, "position": [1, 2, 3]}, {"time": 0.5, "position": [1, 2]}],
   "volume": 2, "volumes": [], "speeds": [{"time": 0, "speed": 0}, {"time": 1, "sped": 2}]}]})",
               "x.json");
    FAIL() << "accepted a scene with mistakes";
  } catch (const UserError& error) {
    const std::vector<std::string> expected{
        "x.json:2:80: $.events[0].repeat: a looping sound plays until it is stopped",
        "x.json:3:82: $.events[1].positions: give either \"position\" or \"positions\", not both",
        "x.json:4:59: $.events[2].positions: a local sound has no position",
        "x.json:5:59: $.events[3].stop: the stop at 0.2 s comes before the sound starts at 0.5 s",
        "x.json:5:72: $.events[3].loop: expected true or false",
        "x.json:6:54: $.events[3].positions[1]: keyframes must be in time order",
        "x.json:6:80: $.events[3].positions[1].position: expected a vector [x, y, z]",
        "x.json:7:28: $.events[3].volumes: give either \"volume\" or \"volumes\", not both",
        "x.json:7:64: $.events[3].speeds[0].speed: 0 is out of range",
        "x.json:7:68: $.events[3].speeds[1]: missing key 'speed'",
        "x.json:7:80: $.events[3].speeds[1].sped: unknown key; did you mean 'speed'?"};
    const std::string text = error.what();
    std::size_t at = 0;
    for (const std::string& line : expected) {
      const std::size_t found = text.find(line, at);
      EXPECT_NE(found, std::string::npos) << "'" << line << "' not next in:\n" << text;
      if (found != std::string::npos) at = found;
    }
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n') + 1,
              static_cast<std::ptrdiff_t>(expected.size()))
        << text;
  }
}

TEST(PlayKeyframes, MoveLinearlyWithTheSegmentsVelocityAndHoldTheEnds) {
  const std::vector<PositionKey> path{
      {1.0, {0, 0, 0}}, {3.0, {4, 0, -2}}, {3.0, {10, 10, 10}}, {4.0, {10, 10, 10}}};
  ExpectNear(PositionAt(path, 0.0), {0, 0, 0}, 0.0);  // held before the first key
  ExpectNear(VelocityAt(path, 0.0), {0, 0, 0}, 0.0);
  ExpectNear(PositionAt(path, 2.5), {3, 0, -1.5}, 1e-12);
  ExpectNear(VelocityAt(path, 2.5), {2, 0, -1}, 1e-12);
  // Two keys at one time jump without a velocity of their own.
  ExpectNear(PositionAt(path, 3.0), {10, 10, 10}, 0.0);
  ExpectNear(VelocityAt(path, 3.5), {0, 0, 0}, 0.0);
  ExpectNear(PositionAt(path, 9.0), {10, 10, 10}, 0.0);
  const std::vector<ValueKey> volume{{0.0, 0.0}, {2.0, 1.0}};
  EXPECT_DOUBLE_EQ(ValueAt(volume, 0.5), 0.25);
  EXPECT_EQ(ValueAt(volume, 7.0), 1.0);
}

TEST(SceneFile, MistakesComeInFileOrderUpToTwenty) {
  // 25 events, each with a misspelt key on its own line, and a key given
  // twice inside a nested object: 26 mistakes, the duplicate first.
  std::string text =
      "{\"duration\": 1,\n\"sounds\": {\"s\": {\"generator\": \"sine\", "
      "\"duration\": 1,\n  \"duration\": 2}},\n\"events\": [\n";
  for (int i = 0; i < 25; ++i)
    text += std::string(i ? "," : "") + R"({"time": 0, "sound": "s", "mode": "local", "tme": 1})" +
            "\n";
  text += "]}";
  try {
    ParseScene(text, "x.json");
    FAIL() << "accepted a scene with mistakes";
  } catch (const UserError& e) {
    std::vector<std::string> lines;
    std::istringstream in(e.what());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 21u) << e.what();
    EXPECT_EQ(
        lines[0],
        "x.json:3:3: $.sounds.s.duration: the key is given twice, first at line 2, column 39; "
        "give it once");
    for (int i = 0; i < 19; ++i)
      EXPECT_EQ(
          lines[1 + i].rfind("x.json:" + std::to_string(5 + i) + ":" + std::to_string(i ? 45 : 44) +
                                 ": $.events[" + std::to_string(i) +
                                 "].tme: unknown key; did you mean 'time'?",
                             0),
          0u)
          << lines[1 + i];
    EXPECT_EQ(lines[20], "and 6 more");
  }
}

TEST(SceneFile, MissingSceneIsNamed) {
  ExpectUserError([] { LoadScene("/nonexistent/scene.json"); },
                  {"cannot open the scene '/nonexistent/scene.json'", "No such file"});
}

TEST(SceneFile, TheLinearParserBuildsWhatTheOrderedParserBuilds) {
  // Repeated keys keep their first place and their last value, as in
  // nlohmann's ordered parse; nesting, arrays of objects and every type.
  for (const char* text :
       {R"({"b": 1, "a": {"x": [1, 2.5, -3, true, null, "s"], "y": {}}, "b": 2, "c": []})",
        R"([{"k": 1, "k": {"deep": [[[{"z": "\u00e9"}]]]}}, 18446744073709551615, -0.0])",
        R"("just a string")", R"({"": 1, "a b": {"a b": 2}, "a b": 3})"}) {
    const Json parsed = ParseJson(text);
    EXPECT_EQ(parsed, Json::parse(text)) << text;
    EXPECT_EQ(parsed.dump(), Json::parse(text).dump()) << text;  // same key order
  }
  EXPECT_THROW(ParseJson(R"({"a": [1, 2})"), Json::parse_error);
}

TEST(SceneFile, ANumberTooLargeForADoubleIsAUserError) {
  ExpectSceneError(R"({"duration": 1e400})", {"scene.json: JSON error", "1e400"});
}

// --- Output file -------------------------------------------------------------

TEST(OutputFile, FormatFollowsTheExtension) {
  EXPECT_EQ(FormatForPath("a/b.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  EXPECT_EQ(FormatForPath("B.FLAC"), SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
  EXPECT_EQ(FormatForPath("c.ogg"), SF_FORMAT_OGG | SF_FORMAT_VORBIS);
  ExpectUserError([] { FormatForPath("out.xyz"); }, {"'out.xyz'", "extension '.xyz'", ".wav"});
  ExpectUserError([] { FormatForPath("dir.v2/out"); }, {"a name without extension"});
}

TEST(OutputFile, AppearsOnlyWhenCommitted) {
  TempFolder folder;
  const std::string path = folder / "out.wav";
  orvrendertest::WriteText(path, "older file");
  const std::vector<float> frames{0.5f, -0.5f, 0.25f, -0.25f};
  {
    OutputFile out(path, FormatForPath(path), 44100, 2);
    out.Write(frames.data(), 2);
    EXPECT_EQ(folder.List().size(), 2u);  // the old file and the temporary one
  }                                       // abandoned: as after a failed render
  EXPECT_EQ(orvrendertest::ReadText(path), "older file");
  EXPECT_EQ(folder.List(), std::vector<std::string>{"out.wav"});
  {
    OutputFile out(path, FormatForPath(path), 44100, 2);
    out.Write(frames.data(), 2);
    out.Commit();
  }
  EXPECT_EQ(folder.List(), std::vector<std::string>{"out.wav"});
  const orvrendertest::Sound sound = orvrendertest::ReadSound(path);
  EXPECT_EQ(sound.sampleRate, 44100);
  EXPECT_EQ(sound.channels, 2);
  EXPECT_EQ(sound.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  EXPECT_EQ(sound.samples, frames);
}

TEST(OutputFile, UnwritablePlacesAreNamed) {
  TempFolder folder;
  const int wav = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  ExpectUserError([&] { OutputFile(folder / "no/such/folder/out.wav", wav, 48000, 2); },
                  {"cannot write", "no/such/folder/out.wav", "No such file"});
  ExpectUserError([&] { FormatForPath(folder.Path() + "/.wav"); }, {"a name without extension"});
}

// --- Levels and command line -------------------------------------------------

TEST(Levels, PeakAndRmsOfKnownSignals) {
  Levels levels(2);
  std::vector<float> x;
  for (int i = 0; i < 4800; ++i) {
    x.push_back(0.5f * static_cast<float>(std::sin(2.0 * M_PI * i / 48.0)));  // whole periods
    x.push_back(i % 2 ? 0.25f : -0.25f);
  }
  x[11] = NAN;
  levels.Add(x.data(), 4800);
  EXPECT_EQ(levels.Frames(), 4800);
  EXPECT_NEAR(levels.Peak(0), 0.5, 1e-3);
  EXPECT_NEAR(levels.Rms(0), 0.5 / std::sqrt(2.0), 1e-4);
  EXPECT_DOUBLE_EQ(levels.Peak(1), 0.25);
  EXPECT_NEAR(levels.Rms(1), 0.25 * std::sqrt(4799.0 / 4800.0), 1e-9);  // one sample was NaN
  EXPECT_EQ(levels.NonFinite(), 1);
  EXPECT_NEAR(Levels::Decibels(0.5), -6.0206, 1e-4);
}

Options Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "orv-render");
  return ParseCommandLine(static_cast<int>(args.size()), args.data());
}

TEST(CommandLine, ReadsEveryOptionInBothForms) {
  const Options o = Parse({"s.json", "-o", "out.wav", "--rate", "44100", "--threads=3", "--block",
                           "256", "--seconds=2.5", "--library", "lib.so", "--quiet"});
  EXPECT_EQ(o.scene, "s.json");
  EXPECT_EQ(o.output, "out.wav");
  EXPECT_EQ(o.sampleRate, 44100.0);
  EXPECT_EQ(o.threads, 3);
  EXPECT_EQ(o.blockSize, 256);
  EXPECT_EQ(o.seconds, 2.5);
  EXPECT_EQ(o.library, "lib.so");
  EXPECT_TRUE(o.isQuiet);
  EXPECT_TRUE(Parse({"--help"}).shouldShowHelp);
}

TEST(CommandLine, MistakesNameTheOption) {
  const auto expectUsage = [](std::vector<const char*> args, const std::string& part) {
    try {
      Parse(args);
      ADD_FAILURE() << "no error for " << part;
    } catch (const UsageError& e) {
      EXPECT_NE(std::string(e.what()).find(part), std::string::npos) << e.what();
    }
  };
  expectUsage({"s.json"}, "no output file given");
  expectUsage({"-o", "x.wav"}, "no scene file given");
  expectUsage({"a.json", "b.json", "-o", "x.wav"}, "more than one scene file");
  expectUsage({"s.json", "-o", "x.wav", "--threads", "0"}, "--threads: 0 is out of range");
  expectUsage({"s.json", "-o", "x.wav", "--block", "65537"}, "--block: 65537 is out of range");
  expectUsage({"s.json", "-o", "x.wav", "--rate", "fast"}, "--rate: expected a number");
  expectUsage({"s.json", "-o", "x.wav", "--seconds"}, "--seconds: missing its value");
  expectUsage({"s.json", "-o", "x.wav", "--loud"}, "unknown option '--loud'");
}

}  // namespace
}  // namespace orvrender
