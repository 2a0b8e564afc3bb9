// Building a set from synthetic measurements whose every sample is known:
// which directions are kept and how they are stored, the common lead, the
// fade, the one gain, the energy report and the errors.
#include "HrtfBuilder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <numbers>

#include "spatializer/OrvSpatializer.h"

namespace orvhrtf {
namespace {

// Impulse responses with one tap per ear, so every stored sample is known.
Measurement Impulses(double azimuth, double elevation, int leftAt, int rightAt,
                     double leftAmplitude = 0.5, double rightAmplitude = 0.5, double distance = 1.4,
                     std::size_t length = 256) {
  Measurement m;
  m.azimuth = azimuth;
  m.elevation = elevation;
  m.distance = distance;
  m.left.assign(length, 0.0);
  m.right.assign(length, 0.0);
  m.left[std::size_t(leftAt)] = leftAmplitude;
  m.right[std::size_t(rightAt)] = rightAmplitude;
  return m;
}

// Source and target at one rate, so resampling is an exact shift.
BuildOptions ExactOptions() {
  BuildOptions options;
  options.samplingRate = 48000.0;
  options.tapCount = 64;
  options.fadeLength = 0;
  options.lead = 0;
  return options;
}

MeasurementSet SetOf(std::vector<Measurement> measurements, double rate = 48000.0) {
  MeasurementSet set;
  set.samplingRate = rate;
  set.measurements = std::move(measurements);
  return set;
}

std::vector<float> Azimuths(const Ring& ring) {
  std::vector<float> azimuths;
  for (const Angle& angle : ring.angles) azimuths.push_back(angle.azimuth);
  return azimuths;
}

int IndexOfPeak(const std::vector<float>& x) {
  int best = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (std::abs(x[i]) > std::abs(x[std::size_t(best)])) best = int(i);
  }
  return best;
}

void ExpectBuildError(const MeasurementSet& input, const BuildOptions& options,
                      const std::string& fragment) {
  try {
    BuildHrtfSet(input, options);
    ADD_FAILURE() << "built a set that should fail with: " << fragment;
  } catch (const std::exception& error) {
    EXPECT_NE(std::string(error.what()).find(fragment), std::string::npos) << error.what();
  }
}

TEST(HrtfBuilder, WrapsAzimuthsOntoTheCircle) {
  EXPECT_EQ(WrapAzimuth(0.0), 0.0);
  EXPECT_EQ(WrapAzimuth(270.0), -90.0);
  EXPECT_EQ(WrapAzimuth(-90.0), -90.0);
  EXPECT_EQ(WrapAzimuth(180.0), 180.0);
  EXPECT_EQ(WrapAzimuth(-180.0), 180.0);
  EXPECT_EQ(WrapAzimuth(540.0), 180.0);
  EXPECT_EQ(WrapAzimuth(360.0), 0.0);
  EXPECT_EQ(WrapAzimuth(-1e-9), 0.0);
  EXPECT_EQ(WrapAzimuth(-179.9999999), 180.0);
  EXPECT_NEAR(WrapAzimuth(-353.5714285714), 6.4285714286, 1e-12);
}

TEST(HrtfBuilder, KeepsTheRightHalfWithEachEarInPlace) {
  // Amplitudes tell the measurements apart; the ear amplitudes tell the ears.
  const MeasurementSet input = SetOf({
      Impulses(0.0, 0.0, 10, 10, 0.1, 0.1),
      Impulses(90.0, 0.0, 20, 5, 0.05, 0.4),    // right ear near
      Impulses(-90.0, 0.0, 5, 20, 0.4, 0.05),   // left half: skipped
      Impulses(-180.0, 0.0, 12, 12, 0.2, 0.2),  // behind, written as 180
      Impulses(45.0, 0.0, 15, 8, 0.3, 0.35),
      Impulses(-45.0, 0.0, 8, 15, 0.35, 0.3),  // left half: skipped
  });
  BuildReport report;
  const HrtfSet set = BuildHrtfSet(input, ExactOptions(), &report);
  ASSERT_EQ(set.rings.size(), 1u);
  EXPECT_EQ(set.rings[0].elevation, 0.f);
  EXPECT_EQ(Azimuths(set.rings[0]), (std::vector<float>{0.f, 45.f, 90.f, 180.f}));
  EXPECT_EQ(report.skippedMeasurements, 2u);
  const Angle& side = set.rings[0].angles[2];
  EXPECT_EQ(IndexOfPeak(side.right), 5);
  EXPECT_EQ(IndexOfPeak(side.left), 20);
  EXPECT_GT(std::abs(side.right[5]), std::abs(side.left[20]));
}

TEST(HrtfBuilder, RingsAscendAndAnglesRoundToWholeDegrees) {
  std::vector<Measurement> measurements;
  // Ring of 56 directions as measured counter-clockwise, turned into our
  // clockwise azimuths: k * 360 / 56 degrees towards the right ear.
  for (int k = 0; k < 56; ++k) measurements.push_back(Impulses(-k * 360.0 / 56.0, -40.0, 3, 3));
  measurements.push_back(Impulses(0.0, 90.0, 3, 3));
  measurements.push_back(Impulses(0.0, 10.0, 3, 3));
  const HrtfSet set = BuildHrtfSet(SetOf(measurements), ExactOptions());
  ASSERT_EQ(set.rings.size(), 3u);
  EXPECT_EQ(set.rings[0].elevation, -40.f);
  EXPECT_EQ(set.rings[1].elevation, 10.f);
  EXPECT_EQ(set.rings[2].elevation, 90.f);
  const std::vector<float> expected = {0,   6,   13,  19,  26,  32,  39,  45,  51,  58,
                                       64,  71,  77,  84,  90,  96,  103, 109, 116, 122,
                                       129, 135, 141, 148, 154, 161, 167, 174, 180};
  EXPECT_EQ(Azimuths(set.rings[0]), expected);

  BuildOptions exact = ExactOptions();
  exact.shouldRoundAngles = false;
  const HrtfSet unrounded = BuildHrtfSet(SetOf(measurements), exact);
  EXPECT_EQ(unrounded.rings[0].angles[1].azimuth, float(360.0 / 56.0));
}

TEST(HrtfBuilder, AnglesThatCollideWhenRoundedAreAnError) {
  const MeasurementSet input = SetOf({Impulses(10.2, 0.0, 3, 3), Impulses(10.4, 0.0, 3, 3)});
  ExpectBuildError(input, ExactOptions(),
                   "at elevation 0 the azimuths 10.2 and 10.4 would both be stored as 10 degrees");
  BuildOptions exact = ExactOptions();
  exact.shouldRoundAngles = false;
  EXPECT_EQ(BuildHrtfSet(input, exact).rings[0].angles.size(), 2u);

  const MeasurementSet rings = SetOf({Impulses(0.0, 20.2, 3, 3), Impulses(0.0, 19.9, 3, 3)});
  ExpectBuildError(rings, ExactOptions(),
                   "the rings at elevations 19.9 and 20.2 would both be stored as 20 degrees");

  const MeasurementSet twice = SetOf({Impulses(30.0, 0.0, 3, 3), Impulses(30.0, 0.0, 4, 4)});
  ExpectBuildError(twice, ExactOptions(), "two measurements share elevation 0, azimuth 30");
}

TEST(HrtfBuilder, SelectsRequestedRingsAndThinsAzimuths) {
  std::vector<Measurement> measurements;
  for (double elevation : {-10.0, 0.0, 10.0}) {
    for (int azimuth = -175; azimuth <= 180; azimuth += 5) {
      measurements.push_back(Impulses(azimuth, elevation, 3, 3));
    }
  }
  const MeasurementSet input = SetOf(measurements);
  BuildOptions options = ExactOptions();
  options.elevations = {10.0, -10.0};
  options.azimuthStep = 30.0;
  BuildReport report;
  const HrtfSet set = BuildHrtfSet(input, options, &report);
  ASSERT_EQ(set.rings.size(), 2u);
  EXPECT_EQ(set.rings[0].elevation, -10.f);
  EXPECT_EQ(set.rings[1].elevation, 10.f);
  EXPECT_EQ(Azimuths(set.rings[1]), (std::vector<float>{0, 30, 60, 90, 120, 150, 180}));
  EXPECT_EQ(report.skippedMeasurements, measurements.size() - 14);

  options.elevations = {0.0, 45.0};
  ExpectBuildError(input, options, "no ring of measurements at elevation 45 degrees");
  options.elevations = {0.0, 0.0};
  ExpectBuildError(input, options, "elevation 0 is requested twice");

  // A step that misses the grid takes the nearest measured azimuths once each.
  options.elevations = {0.0};
  options.azimuthStep = 7.0;
  const HrtfSet thinned = BuildHrtfSet(input, options);
  const std::vector<float> azimuths = Azimuths(thinned.rings[0]);
  EXPECT_EQ(azimuths.front(), 0.f);
  EXPECT_EQ(azimuths[1], 5.f);   // nearest to 7
  EXPECT_EQ(azimuths[2], 15.f);  // nearest to 14
  EXPECT_EQ(azimuths.back(), 180.f);
}

TEST(HrtfBuilder, ChoosesTheBestPopulatedOrTheRequestedDistance) {
  std::vector<Measurement> measurements;
  for (int azimuth : {0, 30, 60})
    measurements.push_back(Impulses(azimuth, 0.0, 3, 3, 0.5, 0.5, 1.0));
  for (int azimuth : {0, 20, 40, 60, 80}) {
    measurements.push_back(Impulses(azimuth, 0.0, 3, 3, 0.5, 0.5, 2.0));
  }
  const MeasurementSet input = SetOf(measurements);
  BuildReport report;
  EXPECT_EQ(BuildHrtfSet(input, ExactOptions(), &report).AngleCount(), 5u);
  EXPECT_EQ(report.distance, 2.0);

  BuildOptions options = ExactOptions();
  options.distance = 1.0;
  EXPECT_EQ(BuildHrtfSet(input, options, &report).AngleCount(), 3u);
  EXPECT_EQ(report.skippedMeasurements, 5u);
  options.distance = 3.0;
  ExpectBuildError(input, options, "no measurements at distance 3 m (measured: 1 m, 2 m)");

  const MeasuredGrid grid = DescribeGrid(input);
  EXPECT_EQ(grid.distances, (std::vector<double>{1.0, 2.0}));
  EXPECT_EQ(grid.countPerDistance, (std::vector<std::size_t>{3, 5}));
  EXPECT_EQ(grid.chosenDistance, 2.0);
  ASSERT_EQ(grid.rings.size(), 1u);
  EXPECT_EQ(grid.rings[0].rightAzimuths, (std::vector<double>{0, 20, 40, 60, 80}));
}

TEST(HrtfBuilder, AutomaticLeadRemovesOnlyTheCommonSilence) {
  BuildOptions options = ExactOptions();
  options.lead = kAutomaticLead;
  // Right ear first at 25, left at 40: an interaural delay of 15 samples.
  Measurement side = Impulses(90.0, 0.0, 40, 25, 0.1, 0.8);
  Measurement front = Impulses(0.0, 0.0, 30, 30, 0.5, 0.5);
  // Noise below -50 dB of the response's peak counts as silence.
  side.right[10] = 0.8 * 0.003;
  BuildReport report;
  HrtfSet set = BuildHrtfSet(SetOf({side, front}), options, &report);
  EXPECT_EQ(report.lead, 25);
  const Angle* stored = set.Find(0.f, 90.f);
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(IndexOfPeak(stored->right), 0);
  EXPECT_EQ(IndexOfPeak(stored->left), 15);
  EXPECT_EQ(IndexOfPeak(set.Find(0.f, 0.f)->left), 5);

  // Anything louder stays.
  side.right[10] = 0.8 * 0.004;
  set = BuildHrtfSet(SetOf({side, front}), options, &report);
  EXPECT_EQ(report.lead, 10);
  EXPECT_EQ(IndexOfPeak(set.Find(0.f, 90.f)->left), 30);

  // A fixed lead is taken as given.
  options.lead = 5;
  set = BuildHrtfSet(SetOf({side, front}), options, &report);
  EXPECT_EQ(report.lead, 5);
  EXPECT_EQ(IndexOfPeak(set.Find(0.f, 90.f)->right), 20);
  EXPECT_EQ(IndexOfPeak(set.Find(0.f, 90.f)->left), 35);
}

TEST(HrtfBuilder, DelaysStoredApartArePutBack) {
  Measurement m = Impulses(30.0, 0.0, 4, 4);
  m.leftDelay = 3.0;
  m.rightDelay = 0.0;
  const HrtfSet set = BuildHrtfSet(SetOf({m}), ExactOptions());
  EXPECT_EQ(IndexOfPeak(set.rings[0].angles[0].left), 7);
  EXPECT_EQ(IndexOfPeak(set.rings[0].angles[0].right), 4);
}

TEST(HrtfBuilder, FadeFollowsARaisedCosineOverTheLastTaps) {
  for (int fade : {0, 1, 8, 64}) {
    for (int i = 0; i < 64 - fade; ++i) EXPECT_EQ(FadeWeight(i, 64, fade), 1.0);
    for (int j = 1; j <= fade; ++j) {
      EXPECT_DOUBLE_EQ(FadeWeight(64 - fade + j - 1, 64, fade),
                       0.5 + 0.5 * std::cos(std::numbers::pi * j / (fade + 1)));
    }
  }
  EXPECT_GT(FadeWeight(63, 64, 8), 0.0);  // the last tap is not cut to zero

  // A constant response shows the fade shape directly (the gain makes the
  // constant 1).
  Measurement flat = Impulses(0.0, 0.0, 0, 0);
  std::fill(flat.left.begin(), flat.left.end(), 0.25);
  std::fill(flat.right.begin(), flat.right.end(), -0.25);
  BuildOptions options = ExactOptions();
  options.fadeLength = 8;
  const HrtfSet set = BuildHrtfSet(SetOf({flat}), options);
  const Angle& angle = set.rings[0].angles[0];
  for (int i = 0; i < 64; ++i) {
    EXPECT_EQ(angle.left[std::size_t(i)], float(FadeWeight(i, 64, 8))) << i;
    EXPECT_EQ(angle.right[std::size_t(i)], -float(FadeWeight(i, 64, 8))) << i;
  }
}

TEST(HrtfBuilder, OneGainScalesTheWholeSetToThePeak) {
  const MeasurementSet input =
      SetOf({Impulses(0.0, 0.0, 3, 3, 0.2, -0.05), Impulses(90.0, 0.0, 9, 2, 0.02, -0.1)});
  BuildReport report;
  HrtfSet set = BuildHrtfSet(input, ExactOptions(), &report);
  EXPECT_DOUBLE_EQ(report.gain, 5.0);
  EXPECT_EQ(set.Find(0.f, 0.f)->left[3], 1.f);
  EXPECT_EQ(set.Find(0.f, 0.f)->right[3], -0.25f);
  EXPECT_EQ(set.Find(0.f, 90.f)->left[9], 0.1f);
  EXPECT_EQ(set.Find(0.f, 90.f)->right[2], -0.5f);
  EXPECT_EQ(report.maxSample, 1.f);
  EXPECT_EQ(report.minSample, -0.5f);

  BuildOptions options = ExactOptions();
  options.peak = 0.5;
  set = BuildHrtfSet(input, options, &report);
  EXPECT_EQ(set.Find(0.f, 0.f)->left[3], 0.5f);
  EXPECT_EQ(set.Find(0.f, 90.f)->right[2], -0.25f);
}

TEST(HrtfBuilder, ReportsTheEnergyTheTapsKeep) {
  // Left: 1 inside the 64 taps and 0.5 beyond: keeps 1 / 1.25 = 0.8.
  Measurement m = Impulses(0.0, 0.0, 10, 10, 1.0, 1.0);
  m.left[100] = 0.5;
  BuildReport report;
  BuildHrtfSet(SetOf({m}), ExactOptions(), &report);
  EXPECT_DOUBLE_EQ(report.minKeptFraction, 0.8);
  EXPECT_EQ(report.minKeptWhere, "elevation 0, azimuth 0, left");
  EXPECT_DOUBLE_EQ(report.meanKeptFraction, 0.9);
  EXPECT_DOUBLE_EQ(report.minPairKeptFraction, 2.0 / 2.25);
  EXPECT_EQ(report.minPairKeptWhere, "elevation 0, azimuth 0");
}

TEST(HrtfBuilder, ResamplingScalesTime) {
  // 44.1 kHz to 48 kHz: an impulse at 30 source samples lands near 32.65.
  BuildOptions options = ExactOptions();
  options.tapCount = 128;
  BuildReport report;
  const HrtfSet set = BuildHrtfSet(SetOf({Impulses(0.0, 0.0, 30, 60)}, 44100.0), options, &report);
  EXPECT_EQ(IndexOfPeak(set.rings[0].angles[0].left), 33);
  EXPECT_EQ(IndexOfPeak(set.rings[0].angles[0].right), 65);  // 60 * 48 / 44.1 = 65.3
  EXPECT_NEAR(report.cutoffFrequency, 0.47 * 44100.0, 1e-6);
}

TEST(HrtfBuilder, RefusesWhatCannotMakeASet) {
  ExpectBuildError(SetOf({}), ExactOptions(), "no measurements");
  ExpectBuildError(SetOf({Impulses(-90.0, 0.0, 3, 3)}), ExactOptions(),
                   "no measurement lies on the right half");
  ExpectBuildError(SetOf({Impulses(0.0, 0.0, 3, 3, 0.0, 0.0)}), ExactOptions(),
                   "the selected responses are silent");
  Measurement uneven = Impulses(0.0, 0.0, 3, 3);
  uneven.right.pop_back();
  ExpectBuildError(SetOf({uneven}), ExactOptions(), "differ in length");
  ExpectBuildError(SetOf({Impulses(0.0, 0.0, 3, 3)}, 0.0), ExactOptions(),
                   "no valid sampling rate");
  ExpectBuildError(SetOf({Impulses(0.0, 0.0, 3, 3), Impulses(std::nan(""), 0.0, 3, 3)}),
                   ExactOptions(), "measurement 1 has a position that is not finite");
  Measurement late = Impulses(0.0, 0.0, 3, 3);
  late.rightDelay = INFINITY;
  ExpectBuildError(SetOf({late}), ExactOptions(),
                   "the delays at elevation 0, azimuth 0 are not finite");

  BuildOptions options = ExactOptions();
  options.fadeLength = 65;
  ExpectBuildError(SetOf({Impulses(0.0, 0.0, 3, 3)}), options,
                   "the fade length 65 does not lie between 0 and the tap count 64");
  options = ExactOptions();
  options.tapCount = 48;
  ExpectBuildError(SetOf({Impulses(0.0, 0.0, 3, 3)}), options, "the tap count 48");
}

// What the tool writes, the library loads, at whatever rate it was made:
// the set records its rate and the load resamples it to the output's, so a
// delay between the ears stays the same in seconds.
TEST(HrtfBuilder, TheLibraryLoadsWhatItWritesAtTheOutputRate) {
  BuildOptions options = ExactOptions();
  options.samplingRate = 44100.0;
  // Right ear 20 samples (0.454 ms at 44.1 kHz) ahead of the left.
  const HrtfSet set = BuildHrtfSet(SetOf({Impulses(90.0, 0.0, 30, 10)}, 44100.0), options);
  const std::vector<unsigned char> bytes = EncodeHrtfSet(set);
  auto spatializer = std::make_shared<orv::Spatializer>(bytes.data(), bytes.size(), 48000.0);
  // 64 taps at 44.1 kHz hold 69.7 at 48 kHz: the next power of two.
  ASSERT_EQ(spatializer->Rings()[0]->angles[0]->hop[0].size(), 128u);

  auto source = spatializer->CreateSource();
  std::vector<float> impulse(512, 0.0f), out(1024, 0.0f);
  impulse[0] = 1.0f;
  spatializer->BeginRender(512);
  source->Mix(impulse.data(), 0, 512, 90.0f, 0.0f);
  const std::size_t count = spatializer->PrepareEndRender();
  for (std::size_t i = 0; i < count; ++i) spatializer->EndRender(i);
  spatializer->FinishRender(out.data());
  std::vector<float> left(512), right(512);
  for (std::size_t n = 0; n < 512; ++n) left[n] = out[2 * n], right[n] = out[2 * n + 1];
  // 20 samples at 44.1 kHz are 21.8 at 48 kHz; the peaks fall on whole samples.
  EXPECT_NEAR(IndexOfPeak(left) - IndexOfPeak(right), 20.0 * 48000.0 / 44100.0, 0.5);
}

}  // namespace
}  // namespace orvhrtf
