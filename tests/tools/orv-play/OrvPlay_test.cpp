// orv-play as a user runs it, on a real PortAudio stream: ALSA's null device
// (null-device.conf), which also copies what reached it into a file. The
// null device keeps no time, so these runs take render time, not 2 s.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <string>
#include <vector>

namespace {

constexpr int kRate = 48000;
constexpr int kBlock = 256;
constexpr std::int64_t kTwoSeconds = 2 * kRate;  // a whole number of blocks
// A source 90 degrees to one side is louder at the near ear by well over
// this for broadband noise (about 10 dB with the carried set).
constexpr double kSideDifferenceDb = 6.0;
// Straight ahead both ears hear the same (the carried set is symmetric to
// 0.1 dB); this leaves room for a few degrees of turn.
constexpr double kFrontBalanceDb = 2.0;
// The output is far above silence: noise at half scale, a metre or two away.
constexpr double kAudibleDb = -40.0;

struct ToolRun {
  int status = -1;
  std::string out;
};

class OrvPlay : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = std::filesystem::temp_directory_path() /
             ("orv-play-test-" + std::to_string(getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(folder);
  }
  void TearDown() override { std::filesystem::remove_all(folder); }

  std::string Path(const std::string& name) const { return (folder / name).string(); }

  // Runs orv-play on the null device; what it played lands in capture.raw.
  ToolRun Play(const std::string& args) const {
    const std::string command =
        "ALSA_CONFIG_PATH='" ORV_PLAY_ALSA_CONFIG "' ORV_PLAY_TEST_CAPTURE='" +
        Path("capture.raw") + "' '" ORV_PLAY_TOOL "' " + args + " </dev/null 2>&1";
    ToolRun run;
    std::FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return run;
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
      run.out.append(chunk, n);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
  }

  // The last `frames` stereo frames that reached the device (float, as
  // opened); before them lies the silence PortAudio primes the device with.
  std::vector<float> Captured(std::int64_t frames) const {
    std::ifstream in(Path("capture.raw"), std::ios::binary | std::ios::ate);
    const std::int64_t bytes = in.tellg();
    EXPECT_GE(bytes, frames * 8) << "fewer frames reached the device than were played";
    std::vector<float> samples(2 * static_cast<std::size_t>(frames));
    if (bytes < frames * 8) return samples;
    in.seekg(bytes - frames * 8);
    in.read(reinterpret_cast<char*>(samples.data()), frames * 8);
    return samples;
  }

  std::filesystem::path folder;
};

std::int64_t Reported(const std::string& out, const std::string& field) {
  std::smatch match;
  if (!std::regex_search(out, match, std::regex("\\n  " + field + " +(\\d+)"))) return -1;
  return std::stoll(match[1]);
}

// Level of one channel over frames [begin, end), in dB.
double LevelDb(const std::vector<float>& stereo, int channel, std::size_t begin, std::size_t end) {
  double sum = 0.0;
  for (std::size_t i = begin; i < end; ++i)
    sum += double(stereo[2 * i + channel]) * stereo[2 * i + channel];
  return 10.0 * std::log10(sum / double(end - begin) + 1e-30);
}

TEST_F(OrvPlay, PlaysTwoSecondsOfASceneThroughTheSoundCard) {
  std::ofstream(Path("right.json"))
      << R"({"sampleRate": 48000, "duration": 2, "blockSize": 256, "threads": 2,
             "sounds": {"hiss": {"generator": "noise", "duration": 2, "amplitude": 0.5}},
             "events": [{"time": 0, "sound": "hiss", "mode": "relative",
                         "position": [1.5, 0, 0]}]})";
  const ToolRun run = Play("'" + Path("right.json") + "'");
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(Reported(run.out, "Frames"), kTwoSeconds) << run.out;
  EXPECT_EQ(Reported(run.out, "Underruns"), 0) << run.out;

  // Past the first block, which the library rendered before the sound started.
  const std::vector<float> played = Captured(kTwoSeconds);
  const double left = LevelDb(played, 0, 4 * kBlock, kTwoSeconds);
  const double right = LevelDb(played, 1, 4 * kBlock, kTwoSeconds);
  EXPECT_GT(right, kAudibleDb);
  EXPECT_GT(right - left, kSideDifferenceDb);
}

// A stereo file with sound on its left channel only: played as it is, it
// would stay on the left; the orbit mixes it to one source straight ahead.
TEST_F(OrvPlay, OrbitStartsStraightAheadEvenForAOneSidedStereoFile) {
  std::vector<float> leftOnly(kRate);  // half a second, interleaved
  std::mt19937 random(7);
  std::uniform_real_distribution<float> uniform(-0.5f, 0.5f);
  for (std::size_t i = 0; i < leftOnly.size(); i += 2) leftOnly[i] = uniform(random);
  SF_INFO info{};
  info.samplerate = kRate;
  info.channels = 2;
  info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  SNDFILE* file = sf_open(Path("noise.wav").c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr);
  sf_writef_float(file, leftOnly.data(), static_cast<sf_count_t>(leftOnly.size() / 2));
  sf_close(file);

  const ToolRun run =
      Play("--orbit '" + Path("noise.wav") + "' --seconds 2 --rate 48000 --block 256");
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(Reported(run.out, "Frames"), kTwoSeconds) << run.out;
  // Only the start is checked: the null device keeps no time, so how far the
  // listener has turned later depends on when the main thread got the processor.
  // In the first tenth of a second of the turn the sound has moved 4.5 degrees at most.
  const std::vector<float> played = Captured(kTwoSeconds);
  const std::size_t begin = 4 * kBlock, end = begin + kRate / 10;
  EXPECT_GT(LevelDb(played, 0, begin, end), kAudibleDb);
  EXPECT_LT(std::abs(LevelDb(played, 1, begin, end) - LevelDb(played, 0, begin, end)),
            kFrontBalanceDb);
}

TEST_F(OrvPlay, RefusesAnUnknownDeviceByName) {
  const ToolRun run = Play("--device 'no such card' --orbit x.wav");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("--device no such card: no stereo output has that name"),
            std::string::npos)
      << run.out;
}

}  // namespace
