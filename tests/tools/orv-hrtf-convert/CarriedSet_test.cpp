// The committed data set that the library carries: its exact layout and grid,
// its sample range, and the acoustic figures that show the ears the right way
// round (near ear louder and earlier, median plane balanced).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "HrtfFormat.h"

namespace orvhrtf {
namespace {

constexpr std::size_t kRecordBytes = 379900;  // 12 + 14 * 8 + 368 * 1032

class CarriedSet : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    bytes = new std::vector<unsigned char>(ReadFileBytes(ORV_CARRIED_HRTF_FILE));
    set = new HrtfSet(DecodeHrtfSet(bytes->data(), bytes->size(), &trailing));
  }
  static void TearDownTestSuite() {
    delete set;
    delete bytes;
  }

  static std::vector<unsigned char>* bytes;
  static HrtfSet* set;
  static std::size_t trailing;
};

std::vector<unsigned char>* CarriedSet::bytes = nullptr;
HrtfSet* CarriedSet::set = nullptr;
std::size_t CarriedSet::trailing = 0;

float FloatAt(const std::vector<unsigned char>& b, std::size_t at) {
  const std::uint32_t bits = std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 |
                             std::uint32_t(b[at + 2]) << 16 | std::uint32_t(b[at + 3]) << 24;
  float v;
  std::memcpy(&v, &bits, 4);
  return v;
}

std::vector<float> Steps(int last, int step) {
  std::vector<float> v;
  for (int a = 0; a <= last; a += step) v.push_back(float(a));
  return v;
}

// First sample reaching a tenth of the response's peak.
int Onset(const std::vector<float>& x) {
  float peak = 0.f;
  for (float v : x) peak = std::max(peak, std::abs(v));
  int i = 0;
  while (std::abs(x[std::size_t(i)]) < 0.1f * peak) ++i;
  return i;
}

TEST_F(CarriedSet, HoldsExactlyTheRecords) {
  EXPECT_EQ(bytes->size(), kRecordBytes);
  EXPECT_EQ(trailing, 0u);
  EXPECT_EQ(EncodedSize(*set), kRecordBytes);
  EXPECT_NO_THROW(CheckHrtfSet(*set));
  // Landmarks of the layout.
  EXPECT_EQ(std::memcmp(bytes->data(), "ORVHRTFD", 8), 0);
  const unsigned char minusForty[4] = {0x00, 0x00, 0x20, 0xC2};
  EXPECT_EQ(std::memcmp(bytes->data() + 12, minusForty, 4), 0);
  EXPECT_EQ((*bytes)[16], 29);
  EXPECT_EQ(FloatAt(*bytes, 20), 0.f);
  EXPECT_EQ((*bytes)[24], 128);
  EXPECT_EQ(FloatAt(*bytes, 1052), 6.f);
  EXPECT_EQ(FloatAt(*bytes, 29948), -30.f);
  EXPECT_EQ((*bytes)[29952], 31);
}

TEST_F(CarriedSet, HasTheFourteenRingsOfTheMeasuredGrid) {
  const std::vector<float> outer = {0,   6,   13,  19,  26,  32,  39,  45,  51,  58,
                                    64,  71,  77,  84,  90,  96,  103, 109, 116, 122,
                                    129, 135, 141, 148, 154, 161, 167, 174, 180};
  const std::vector<std::pair<float, std::vector<float>>> expected = {
      {-40.f, outer},         {-30.f, Steps(180, 6)}, {-20.f, Steps(180, 5)},
      {-10.f, Steps(180, 5)}, {0.f, Steps(180, 5)},   {10.f, Steps(180, 5)},
      {20.f, Steps(180, 5)},  {30.f, Steps(180, 6)},  {40.f, outer},
      {50.f, Steps(176, 8)},  {60.f, Steps(180, 10)}, {70.f, Steps(180, 15)},
      {80.f, Steps(180, 30)}, {90.f, {0.f}}};
  ASSERT_EQ(set->rings.size(), expected.size());
  for (std::size_t r = 0; r < expected.size(); ++r) {
    EXPECT_EQ(set->rings[r].elevation, expected[r].first);
    std::vector<float> azimuths;
    for (const Angle& angle : set->rings[r].angles) {
      azimuths.push_back(angle.azimuth);
      EXPECT_EQ(angle.left.size(), 128u);
    }
    EXPECT_EQ(azimuths, expected[r].second) << "ring " << r;
  }
  EXPECT_EQ(set->AngleCount(), 368u);
}

TEST_F(CarriedSet, PeaksAtTheChosenLevel) {
  float peak = 0.f;
  for (const Ring& ring : set->rings) {
    for (const Angle& angle : ring.angles) {
      for (const std::vector<float>* r : {&angle.left, &angle.right}) {
        for (float v : *r) {
          ASSERT_TRUE(v >= -1.f && v <= 1.f);
          peak = std::max(peak, std::abs(v));
        }
      }
    }
  }
  // One gain scaled the loudest sample to the level the mix was tuned for.
  EXPECT_EQ(peak, 0.79f);
}

TEST_F(CarriedSet, RightEarIsNearForPositiveAzimuths) {
  const Angle* side = set->Find(0.f, 90.f);
  ASSERT_NE(side, nullptr);
  const double ratio = Energy(side->right) / Energy(side->left);
  EXPECT_GT(ratio, 15.0);
  EXPECT_LT(ratio, 25.0);
  // The near ear hears the source first: KEMAR's interaural delay at 90
  // degrees is about 0.6 ms, 25 to 35 samples at 48 kHz.
  const int delay = Onset(side->left) - Onset(side->right);
  EXPECT_GE(delay, 25);
  EXPECT_LE(delay, 35);
  // Every angle off the median plane on the horizontal ring favours the right.
  for (const Angle& angle : set->rings[4].angles) {
    if (angle.azimuth >= 20.f && angle.azimuth <= 160.f) {
      EXPECT_GT(Energy(angle.right), 2.0 * Energy(angle.left)) << angle.azimuth;
    }
  }
}

TEST_F(CarriedSet, MedianPlaneIsBalanced) {
  for (const Ring& ring : set->rings) {
    for (const Angle& angle : ring.angles) {
      if (angle.azimuth != 0.f && angle.azimuth != 180.f) continue;
      EXPECT_NEAR(Energy(angle.right) / Energy(angle.left), 1.0, 0.05)
          << "elevation " << ring.elevation << ", azimuth " << angle.azimuth;
      EXPECT_EQ(Onset(angle.right), Onset(angle.left));
    }
  }
}

}  // namespace
}  // namespace orvhrtf
