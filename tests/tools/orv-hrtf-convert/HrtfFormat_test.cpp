// The ORVHRTFD writer and reader: byte layout, round trips, the rules the
// writer enforces, the reader's structural errors and the atomic file write.
#include "HrtfFormat.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>

namespace orvhrtf {
namespace {

Angle MakeAngle(float azimuth, std::size_t taps, float base) {
  Angle angle;
  angle.azimuth = azimuth;
  for (std::size_t i = 0; i < taps; ++i) {
    angle.left.push_back(base + 0.001f * float(i));
    angle.right.push_back(-base - 0.002f * float(i));
  }
  return angle;
}

// Two rings, three angles, 4 taps each.
HrtfSet SmallSet() {
  HrtfSet set;
  set.rings.push_back({-40.f, {MakeAngle(0.f, 4, 0.1f), MakeAngle(6.f, 4, 0.2f)}});
  set.rings.push_back({90.f, {MakeAngle(0.f, 4, 0.3f)}});
  return set;
}

std::uint32_t U32At(const std::vector<unsigned char>& b, std::size_t at) {
  return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 | std::uint32_t(b[at + 2]) << 16 |
         std::uint32_t(b[at + 3]) << 24;
}

float F32At(const std::vector<unsigned char>& b, std::size_t at) {
  const std::uint32_t bits = U32At(b, at);
  float v;
  std::memcpy(&v, &bits, 4);
  return v;
}

void ExpectFormatError(const HrtfSet& set, const std::string& fragment) {
  try {
    CheckHrtfSet(set);
    ADD_FAILURE() << "accepted a set that should fail with: " << fragment;
  } catch (const FormatError& error) {
    EXPECT_NE(std::string(error.what()).find(fragment), std::string::npos) << error.what();
  }
}

void ExpectDecodeError(const std::vector<unsigned char>& bytes, const std::string& fragment) {
  try {
    DecodeHrtfSet(bytes.data(), bytes.size());
    ADD_FAILURE() << "decoded data that should fail with: " << fragment;
  } catch (const FormatError& error) {
    EXPECT_NE(std::string(error.what()).find(fragment), std::string::npos) << error.what();
  }
}

TEST(HrtfFormat, EncodesTheDocumentedLayout) {
  const std::vector<unsigned char> bytes = EncodeHrtfSet(SmallSet());
  // 12 + 2 ring headers + 3 angles of 8 + 8 * 4 bytes.
  ASSERT_EQ(bytes.size(), 12u + 2 * 8 + 3 * (8 + 32));
  EXPECT_EQ(bytes.size(), EncodedSize(SmallSet()));
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 8), "ORVHRTFD");
  EXPECT_EQ(U32At(bytes, 8), 2u);
  // -40.0f is 0xC2200000, stored little-endian.
  EXPECT_EQ(bytes[12], 0x00);
  EXPECT_EQ(bytes[13], 0x00);
  EXPECT_EQ(bytes[14], 0x20);
  EXPECT_EQ(bytes[15], 0xC2);
  EXPECT_EQ(U32At(bytes, 16), 2u);          // angle count of ring 0
  EXPECT_EQ(F32At(bytes, 20), 0.f);         // first azimuth
  EXPECT_EQ(U32At(bytes, 24), 4u);          // tap count
  EXPECT_EQ(F32At(bytes, 28), 0.1f);        // left[0]
  EXPECT_EQ(F32At(bytes, 28 + 16), -0.1f);  // right[0] follows the 4 left taps
  EXPECT_EQ(F32At(bytes, 20 + 40), 6.f);    // second angle
  EXPECT_EQ(F32At(bytes, 20 + 80), 90.f);   // second ring header
  EXPECT_EQ(U32At(bytes, 104), 1u);
}

TEST(HrtfFormat, RoundTripKeepsEveryBit) {
  HrtfSet set = SmallSet();
  // Values whose bits a careless conversion would change.
  set.rings[0].angles[0].left = {-0.f, 1.f, -1.f, std::numeric_limits<float>::denorm_min()};
  set.rings[0].angles[0].right = {std::nextafter(1.f, 0.f), 1e-30f, -0.5f, 0.333333343f};
  const std::vector<unsigned char> bytes = EncodeHrtfSet(set);
  std::size_t trailing = 99;
  const HrtfSet decoded = DecodeHrtfSet(bytes.data(), bytes.size(), &trailing);
  EXPECT_EQ(trailing, 0u);
  ASSERT_EQ(decoded.rings.size(), set.rings.size());
  for (std::size_t r = 0; r < set.rings.size(); ++r) {
    EXPECT_EQ(decoded.rings[r].elevation, set.rings[r].elevation);
    ASSERT_EQ(decoded.rings[r].angles.size(), set.rings[r].angles.size());
    for (std::size_t a = 0; a < set.rings[r].angles.size(); ++a) {
      const Angle& x = set.rings[r].angles[a];
      const Angle& y = decoded.rings[r].angles[a];
      EXPECT_EQ(y.azimuth, x.azimuth);
      ASSERT_EQ(y.left.size(), x.left.size());
      EXPECT_EQ(std::memcmp(y.left.data(), x.left.data(), 4 * x.left.size()), 0);
      EXPECT_EQ(std::memcmp(y.right.data(), x.right.data(), 4 * x.right.size()), 0);
    }
  }
  EXPECT_EQ(EncodeHrtfSet(decoded), bytes);

  // A rate other than 48 kHz travels in a record after the rings.
  set.samplingRate = 44100.0;
  const std::vector<unsigned char> rated = EncodeHrtfSet(set);
  ASSERT_EQ(rated.size(), bytes.size() + 12);
  EXPECT_EQ(rated.size(), EncodedSize(set));
  EXPECT_EQ(std::string(rated.end() - 12, rated.end() - 8), "RATE");
  EXPECT_EQ(DecodeHrtfSet(rated.data(), rated.size(), &trailing).samplingRate, 44100.0);
  EXPECT_EQ(trailing, 0u);                   // the record is read, not trailing
  EXPECT_EQ(decoded.samplingRate, 48000.0);  // a set without it is at 48 kHz
}

TEST(HrtfFormat, FindLooksUpExactAngles) {
  const HrtfSet set = SmallSet();
  ASSERT_NE(set.Find(-40.f, 6.f), nullptr);
  EXPECT_EQ(set.Find(-40.f, 6.f)->left[0], 0.2f);
  EXPECT_EQ(set.Find(-40.f, 5.f), nullptr);
  EXPECT_EQ(set.Find(90.f, 6.f), nullptr);
  EXPECT_EQ(set.AngleCount(), 3u);
}

TEST(HrtfFormat, WriterRefusesSetsTheRendererCannotUse) {
  HrtfSet set = SmallSet();
  CheckHrtfSet(set);  // the base set is fine

  ExpectFormatError(HrtfSet{}, "no rings");
  set = SmallSet();
  set.rings[1].elevation = -50.f;
  ExpectFormatError(set, "does not ascend");
  set = SmallSet();
  set.rings[1].elevation = 90.5f;
  ExpectFormatError(set, "outside [-90, 90]");
  set = SmallSet();
  set.rings[0].angles[1].azimuth = 0.f;
  ExpectFormatError(set, "azimuth 0 does not ascend");
  set = SmallSet();
  set.rings[0].angles[1].azimuth = 181.f;
  ExpectFormatError(set, "outside [0, 180]");
  set = SmallSet();
  set.rings[0].angles[0].azimuth = -1.f;
  ExpectFormatError(set, "outside [0, 180]");
  set = SmallSet();
  set.rings[1].angles.clear();
  ExpectFormatError(set, "has no angles");
  set = SmallSet();
  set.rings[0].angles[1].right.pop_back();
  ExpectFormatError(set, "differ in length");
  set = SmallSet();
  set.rings[1].angles[0] = MakeAngle(0.f, 8, 0.3f);
  EXPECT_NO_THROW(CheckHrtfSet(set));  // tap counts may differ: each has its own bank
  set.samplingRate = 999.0;
  ExpectFormatError(set, "the sampling rate 999 Hz lies outside [1000, 1e+06]");
  set = SmallSet();
  set.rings[0].angles[1].right[2] = std::nextafter(1.f, 2.f);
  ExpectFormatError(set, "right response at elevation -40, azimuth 6: sample 2");
  set = SmallSet();
  set.rings[1].angles[0].left[3] = std::nanf("");
  ExpectFormatError(set, "left response at elevation 90, azimuth 0: sample 3");
  set = SmallSet();
  set.rings[1].angles[0].left[0] = -1.f;  // the limits themselves are allowed
  set.rings[1].angles[0].left[1] = 1.f;
  EXPECT_NO_THROW(CheckHrtfSet(set));

  for (std::size_t taps : {0u, 2u, 6u, 12u}) {
    HrtfSet odd;
    odd.rings.push_back({0.f, {MakeAngle(0.f, taps, 0.f)}});
    ExpectFormatError(odd, "not a power of two of at least 4");
  }
  EXPECT_THROW(EncodeHrtfSet(HrtfSet{}), FormatError);
}

TEST(HrtfFormat, ReaderReportsWrongSignatureAndTruncation) {
  const std::vector<unsigned char> good = EncodeHrtfSet(SmallSet());
  ExpectDecodeError({}, "wrong signature");
  ExpectDecodeError(std::vector<unsigned char>(good.begin(), good.begin() + 7), "wrong signature");
  std::vector<unsigned char> bad = good;
  bad[7] = 'E';
  ExpectDecodeError(bad, "wrong signature");
  ExpectDecodeError(std::vector<unsigned char>(good.begin(), good.begin() + 8),
                    "truncated: ring count");
  ExpectDecodeError(std::vector<unsigned char>(good.begin(), good.begin() + 12 + 7),
                    "truncated: header of ring 0");
  ExpectDecodeError(std::vector<unsigned char>(good.begin(), good.begin() + 20 + 4),
                    "truncated: header of ring 0, angle 0");
  ExpectDecodeError(std::vector<unsigned char>(good.begin(), good.begin() + 28 + 15),
                    "truncated: left response of ring 0, angle 0");
  // The last right response lacks one byte.
  ExpectDecodeError(std::vector<unsigned char>(good.begin(), good.end() - 1),
                    "truncated: right response of ring 1, angle 0");

  bad = good;
  bad[8] = 0xFF, bad[9] = 0xFF, bad[10] = 0xFF, bad[11] = 0xFF;
  ExpectDecodeError(bad, "negative ring count -1");
  // Huge counts in short data are truncations, not allocations.
  bad = good;
  bad[8] = 0xFF, bad[9] = 0xFF, bad[10] = 0xFF, bad[11] = 0x7F;
  ExpectDecodeError(bad, "truncated: header of ring 2");
  bad = good;
  bad[16] = 0xFF, bad[17] = 0xFF, bad[18] = 0xFF, bad[19] = 0x7F;
  ExpectDecodeError(bad, "truncated: left response of ring 0, angle 3");  // ring 1 read as angles
  bad = good;
  bad[16] = 0xFE, bad[17] = 0xFF, bad[18] = 0xFF, bad[19] = 0xFF;
  ExpectDecodeError(bad, "ring 0: negative angle count -2");
  bad = good;
  bad[24] = 0xFF, bad[25] = 0xFF, bad[26] = 0xFF, bad[27] = 0xFF;
  ExpectDecodeError(bad, "negative tap count -1");
  // A huge tap count is a truncation, not an allocation.
  bad = good;
  bad[24] = 0xFF, bad[25] = 0xFF, bad[26] = 0xFF, bad[27] = 0x7F;
  ExpectDecodeError(bad, "truncated: left response of ring 0, angle 0");
}

TEST(HrtfFormat, ReaderCountsTrailingBytesAndLeavesRulesToTheCheck) {
  std::vector<unsigned char> bytes = EncodeHrtfSet(SmallSet());
  bytes.push_back(0);
  bytes.push_back(7);
  std::size_t trailing = 0;
  const HrtfSet set = DecodeHrtfSet(bytes.data(), bytes.size(), &trailing);
  EXPECT_EQ(trailing, 2u);
  EXPECT_EQ(set.AngleCount(), 3u);

  // An out-of-range sample decodes, so it can be inspected, and fails the check.
  bytes = EncodeHrtfSet(SmallSet());
  const float two = 2.f;
  std::memcpy(&bytes[28], &two, 4);
  const HrtfSet broken = DecodeHrtfSet(bytes.data(), bytes.size());
  EXPECT_EQ(broken.rings[0].angles[0].left[0], 2.f);
  EXPECT_THROW(CheckHrtfSet(broken), FormatError);

  // Zero rings is a valid structure with nothing in it.
  const unsigned char empty[12] = {'O', 'R', 'V', 'H', 'R', 'T', 'F', 'D', 0, 0, 0, 0};
  EXPECT_TRUE(DecodeHrtfSet(empty, sizeof empty).rings.empty());
}

class HrtfFormatFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir =
        std::filesystem::path(ORV_TEST_SCRATCH_DIR) /
        ("format_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  std::size_t EntryCount() const {
    return std::size_t(std::distance(std::filesystem::directory_iterator(dir),
                                     std::filesystem::directory_iterator()));
  }

  std::filesystem::path dir;
};

TEST_F(HrtfFormatFiles, WritesAndReplacesWholeFiles) {
  const std::string path = (dir / "set.orvhrtf").string();
  const std::vector<unsigned char> first = EncodeHrtfSet(SmallSet());
  WriteFileAtomically(path, first);
  EXPECT_EQ(ReadFileBytes(path), first);
  const std::vector<unsigned char> second = {1, 2, 3};
  WriteFileAtomically(path, second);
  EXPECT_EQ(ReadFileBytes(path), second);
  EXPECT_EQ(EntryCount(), 1u);  // no temporary file left

  struct stat status;
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  EXPECT_NE(status.st_mode & S_IRUSR, 0u);  // readable like any created file
}

TEST_F(HrtfFormatFiles, FailedWriteLeavesNothingBehind) {
  const std::string missingDir = (dir / "missing" / "set.orvhrtf").string();
  try {
    WriteFileAtomically(missingDir, {1, 2, 3});
    ADD_FAILURE() << "wrote into a missing directory";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("cannot create a file beside '" + missingDir + "'"),
              std::string::npos)
        << error.what();
  }
  EXPECT_EQ(EntryCount(), 0u);

  // A directory in the way: the rename fails, the directory survives and the
  // temporary file is removed.
  const std::filesystem::path occupied = dir / "occupied";
  std::filesystem::create_directories(occupied / "inside");
  EXPECT_THROW(WriteFileAtomically(occupied.string(), {1, 2, 3}), std::runtime_error);
  EXPECT_TRUE(std::filesystem::is_directory(occupied / "inside"));
  EXPECT_EQ(EntryCount(), 1u);
}

TEST_F(HrtfFormatFiles, ReadingAMissingFileNamesIt) {
  const std::string path = (dir / "absent.orvhrtf").string();
  try {
    ReadFileBytes(path);
    ADD_FAILURE() << "read a missing file";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()), "cannot open '" + path + "': No such file or directory");
  }
}

}  // namespace
}  // namespace orvhrtf
