// Reading the MIT KEMAR measurements through libmysofa: the responses are
// the raw ones, the ears and the sense of rotation come out right, and the
// converted set still sounds like the measurement (band energies).
#include "SofaReader.h"

#include <gtest/gtest.h>
#include <mysofa.h>

#include <cmath>
#include <complex>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numbers>

namespace orvhrtf {
namespace {

// The written taps (gain removed) against the full measurement, compared as
// transfer functions up to 18 kHz: the error energy may only be the tail the
// 128 taps cannot hold (1 - kept fraction) plus this much for resampling.
constexpr double kResamplingErrorEnergy = 1e-4;

struct HrtfDeleter {
  void operator()(MYSOFA_HRTF* h) const { mysofa_free(h); }
};

const MeasurementSet& Kemar() {
  static const MeasurementSet set = ReadSofaFile(ORV_KEMAR_SOFA_FILE);
  return set;
}

const Measurement* FindMeasurement(const MeasurementSet& set, double azimuth, double elevation) {
  for (const Measurement& m : set.measurements) {
    if (m.azimuth == azimuth && m.elevation == elevation) return &m;
  }
  return nullptr;
}

template <typename T>
double SumOfSquares(const std::vector<T>& x) {
  double sum = 0.0;
  for (T v : x) sum += double(v) * double(v);
  return sum;
}

// Sum over 0 .. 18 kHz of |H(f)|^2 and of the squared difference from a
// reference, sampled every 25 Hz; `first` is the time of h[0] in samples.
template <typename T>
std::complex<long double> Dtft(const std::vector<T>& h, double frequency, double rate, long first) {
  std::complex<long double> value = 0.0L;
  const long double w = -2.0L * std::numbers::pi_v<long double> * frequency / rate;
  for (std::size_t n = 0; n < h.size(); ++n) {
    value += (long double)h[n] * std::polar(1.0L, w * (long double)(first + long(n)));
  }
  return value;
}

void ExpectLoadError(const std::string& path, const std::string& message) {
  try {
    ReadSofaFile(path);
    ADD_FAILURE() << "read " << path;
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find(message), std::string::npos) << error.what();
  }
}

TEST(SofaReader, ReadsTheKemarMeasurementsRaw) {
  SofaDescription description;
  const MeasurementSet set = ReadSofaFile(ORV_KEMAR_SOFA_FILE, &description);
  EXPECT_EQ(description.conventions, "SimpleFreeFieldHRIR");
  EXPECT_EQ(description.measurementCount, 710u);
  EXPECT_EQ(description.sampleCount, 512u);
  EXPECT_EQ(description.samplingRate, 44100.0);
  EXPECT_FALSE(description.hasDelays);
  EXPECT_EQ(set.samplingRate, 44100.0);
  ASSERT_EQ(set.measurements.size(), 710u);

  // Against libmysofa's own arrays: SOFA turns counter-clockwise and puts
  // the left ear (receiver at +y) first.
  int error = 0;
  std::unique_ptr<MYSOFA_HRTF, HrtfDeleter> raw(mysofa_load(ORV_KEMAR_SOFA_FILE, &error));
  ASSERT_TRUE(raw) << error;
  ASSERT_GT(raw->ReceiverPosition.values[1], raw->ReceiverPosition.values[4]);
  std::size_t rightHalf = 0;
  for (unsigned m = 0; m < raw->M; ++m) {
    const float* position = raw->SourcePosition.values + 3 * m;
    const Measurement& ours = set.measurements[m];
    EXPECT_EQ(ours.azimuth, WrapAzimuth(-double(position[0])));
    EXPECT_EQ(ours.elevation, double(position[1]));
    EXPECT_EQ(ours.distance, double(position[2]));
    const float* left = raw->DataIR.values + std::size_t(m) * 2 * 512;
    for (std::size_t i = 0; i < 512; ++i) {
      ASSERT_EQ(ours.left[i], double(left[i]));
      ASSERT_EQ(ours.right[i], double(left[512 + i]));
    }
    rightHalf += ours.azimuth >= 0.0;
  }
  EXPECT_EQ(rightHalf, 368u);
}

TEST(SofaReader, TheRightEarIsNearForSourcesOnTheRight) {
  const Measurement* side = FindMeasurement(Kemar(), 90.0, 0.0);
  ASSERT_NE(side, nullptr);
  const double ratio = SumOfSquares(side->right) / SumOfSquares(side->left);
  EXPECT_GT(ratio, 15.0);
  EXPECT_LT(ratio, 25.0);
  const Measurement* other = FindMeasurement(Kemar(), -90.0, 0.0);
  ASSERT_NE(other, nullptr);
  EXPECT_NEAR(SumOfSquares(other->left) / SumOfSquares(other->right), ratio, 1e-9);
  for (double azimuth : {0.0, 180.0}) {
    const Measurement* median = FindMeasurement(Kemar(), azimuth, 0.0);
    ASSERT_NE(median, nullptr);
    EXPECT_NEAR(SumOfSquares(median->right) / SumOfSquares(median->left), 1.0, 1e-6);
  }
}

TEST(SofaReader, ConvertedResponsesKeepTheMeasuredTransferFunction) {
  BuildReport report;
  const HrtfSet set = BuildHrtfSet(Kemar(), BuildOptions{}, &report);
  ASSERT_EQ(set.AngleCount(), 368u);
  for (double azimuth : {0.0, 30.0, 90.0, 135.0}) {
    const Measurement* measured = FindMeasurement(Kemar(), azimuth, 0.0);
    const Angle* stored = set.Find(0.f, float(azimuth));
    ASSERT_TRUE(measured && stored);
    for (int ear = 0; ear < 2; ++ear) {
      const std::vector<double>& original = ear == 0 ? measured->left : measured->right;
      std::vector<double> written;
      for (float v : ear == 0 ? stored->left : stored->right) written.push_back(v / report.gain);
      double reference = 0.0, error = 0.0;
      for (double f = 0.0; f <= 18000.0; f += 25.0) {
        const std::complex<long double> h = Dtft(original, f, 44100.0, 0);
        reference += double(std::norm(h));
        error += double(std::norm(Dtft(written, f, 48000.0, report.lead) - h));
      }
      // What the taps drop, measured in time: the measured energy beyond them.
      const double lostTail =
          1.0 - SumOfSquares(written) * 48000.0 / 44100.0 / SumOfSquares(original);
      EXPECT_LT(error / reference, std::max(lostTail, 0.0) + kResamplingErrorEnergy)
          << "azimuth " << azimuth << (ear == 0 ? " left" : " right");
      EXPECT_LT(error / reference, 0.05)
          << "azimuth " << azimuth << (ear == 0 ? " left" : " right");
    }
  }
}

TEST(SofaReader, NamesTheProblemWithAFile) {
  const std::filesystem::path dir = std::filesystem::path(ORV_TEST_SCRATCH_DIR) / "sofa_reader";
  std::filesystem::create_directories(dir);
  ExpectLoadError(
      (dir / "missing.sofa").string(),
      "cannot open '" + (dir / "missing.sofa").string() + "': No such file or directory");
  ExpectLoadError(dir.string(), "'" + dir.string() + "' is a directory");
  const std::string text = (dir / "notes.sofa").string();
  std::ofstream(text) << "not an HDF5 file\n";
  ExpectLoadError(text, "'" + text + "' is not a SOFA file (libmysofa: ");
  const std::string empty = (dir / "empty.sofa").string();
  std::ofstream(empty).close();
  ExpectLoadError(empty, "'" + empty + "' is not a SOFA file");
}

}  // namespace
}  // namespace orvhrtf
