// The C table driven exactly as a host drives it: liborv.so loaded with dlopen.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/OrvTestUtil.h"

namespace {

using orvtest::DefaultInitParam;
using orvtest::HostContext;
using orvtest::HostLibrary;

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(library.loadError.empty()) << library.loadError; }
  HostLibrary library;
};

bool AllZero(const std::vector<float>& v) {
  for (float x : v)
    if (x != 0.0f) return false;
  return true;
}

TEST_F(HostTest, InitializeChecksMagicThenTableThenVersion) {
  OrvContext table{};
  EXPECT_STREQ(library.initialize(0, 2, nullptr), "Magic is invalid.");
  EXPECT_STREQ(library.initialize(1, 2, nullptr), "Null pointer for context return destination!");
  for (int version : {0, 3}) {
    EXPECT_STREQ(library.initialize(1, version, &table),
                 "Interface version unmatch. This library's version is '2'.");
    EXPECT_EQ(table.context, nullptr);  // nothing allocated, table untouched
    EXPECT_EQ(table.Render, nullptr);
  }
  ASSERT_EQ(library.initialize(1, 1, &table), nullptr);
  EXPECT_NE(table.context, nullptr);
  EXPECT_NE(table.Render, nullptr);
  table.Destroy(table.context);
  table.Destroy(nullptr);  // a null record is ignored
}

TEST_F(HostTest, EveryFunctionReportsNotInitializedBeforeItsOwnChecks) {
  HostContext host(library);
  auto& t = host.table;
  EXPECT_EQ(t.CheckError(host.ctx()), nullptr);
  t.Render(host.ctx(), nullptr, 0);
  EXPECT_EQ(host.Error(), "Not initialized.");
  EXPECT_EQ(t.CreateBuffer(host.ctx(), nullptr), nullptr);
  t.FreeBuffer(host.ctx(), nullptr);
  t.Respatialize(host.ctx(), nullptr, nullptr, nullptr, nullptr);
  t.PlayAbsolute(host.ctx(), nullptr, nullptr, nullptr);
  t.PlayRelative(host.ctx(), nullptr, nullptr, nullptr);
  t.PlayLocal(host.ctx(), nullptr, nullptr);
  EXPECT_EQ(host.Error(), "Not initialized.");
}

TEST_F(HostTest, ArgumentChecksComeInParameterOrderAndTheFirstFailureWins) {
  HostContext host(library);
  auto& t = host.table;
  const InitParam init = DefaultInitParam();
  t.Init(host.ctx(), &init);
  ASSERT_EQ(t.CheckError(host.ctx()), nullptr);

  const Vector3 v{0, 0, 1};
  const ReverbParam reverb{};
  const PlayParam play{1, 1, 1};
  t.Respatialize(host.ctx(), nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(host.Error(), "Parameter eye is null.");
  t.Respatialize(host.ctx(), &v, nullptr, nullptr, nullptr);
  EXPECT_EQ(host.Error(), "Parameter front is null.");
  t.Respatialize(host.ctx(), &v, &v, nullptr, nullptr);
  EXPECT_EQ(host.Error(), "Parameter up is null.");
  t.Respatialize(host.ctx(), &v, &v, &v, nullptr);
  EXPECT_EQ(host.Error(), "Parameter reverb is null.");
  (void)reverb;

  t.PlayAbsolute(host.ctx(), nullptr, nullptr, &play);
  EXPECT_EQ(host.Error(), "Parameter buffer is null.");
  const float sample = 0.0f;
  const BufferParam bp{&sample, 32, 1, 1, 48000.0};
  Buffer* buffer = t.CreateBuffer(host.ctx(), &bp);
  ASSERT_NE(buffer, nullptr);
  t.PlayAbsolute(host.ctx(), buffer, nullptr, nullptr);
  EXPECT_EQ(host.Error(), "Parameter origin is null.");
  t.PlayRelative(host.ctx(), buffer, &v, nullptr);
  EXPECT_EQ(host.Error(), "Parameter params is null.");
  t.PlayLocal(host.ctx(), nullptr, nullptr);
  EXPECT_EQ(host.Error(), "Parameter buffer is null.");
  t.PlayLocal(host.ctx(), buffer, nullptr);
  EXPECT_EQ(host.Error(), "Parameter params is null.");
  t.Render(host.ctx(), nullptr, 512);
  EXPECT_EQ(host.Error(), "Parameter stream is null.");
  EXPECT_EQ(t.CreateBuffer(host.ctx(), nullptr), nullptr);
  EXPECT_EQ(host.Error(), "Parameter is null.");
  t.FreeBuffer(host.ctx(), buffer);
  t.FreeBuffer(host.ctx(), nullptr);
  EXPECT_EQ(host.Error(), "Parameter is null.");
}

TEST_F(HostTest, AnErrorPersistsThroughLaterSuccessesUntilReplaced) {
  HostContext host(library);
  auto& t = host.table;
  const InitParam init = DefaultInitParam();
  t.Init(host.ctx(), &init);
  const float sample = 0.25f;
  const BufferParam bad{&sample, 24, 1, 1, 48000.0};
  EXPECT_EQ(t.CreateBuffer(host.ctx(), &bad), nullptr);
  EXPECT_EQ(host.Error(), "Invalid sample bits.");
  const char* first = t.CheckError(host.ctx());
  std::vector<float> out(2 * 256);
  t.Render(host.ctx(), out.data(), 256);  // succeeds
  EXPECT_EQ(t.CheckError(host.ctx()), first);
  EXPECT_EQ(host.Error(), "Invalid sample bits.");
  t.Render(host.ctx(), nullptr, 256);
  EXPECT_EQ(host.Error(), "Parameter stream is null.");
}

TEST_F(HostTest, InitRejectsBadParametersAndLeavesTheRecordAsItWas) {
  HostContext host(library);
  auto& t = host.table;
  t.Init(host.ctx(), nullptr);
  EXPECT_EQ(host.Error(), "Parameter is null.");
  struct Case {
    double rate;
    int threads;
    std::string message;
  };
  const Case cases[] = {
      {0.0, 1, "Invalid sampling rate: 0.000000"},
      {-44100.0, 1, "Invalid sampling rate: -44100.000000"},
      {std::numeric_limits<double>::quiet_NaN(), 1, "Invalid sampling rate: nan"},
      {48000.0, 0, "Invalid thread count: 0"},
      {48000.0, -3, "Invalid thread count: -3"},
      // Outside the documented ranges, where the engine's sizes or the block
      // arithmetic would overflow or the thread pool would exhaust memory.
      {1e-300, 1, "Invalid sampling rate: 0.000000"},
      {0.5, 1, "Invalid sampling rate: 0.500000"},
      {2e9, 1, "Invalid sampling rate: 2000000000.000000"},
      {std::numeric_limits<double>::max(), 1,
       "Invalid sampling rate: " + std::to_string(std::numeric_limits<double>::max())},
      {std::numeric_limits<double>::infinity(), 1, "Invalid sampling rate: inf"},
      {48000.0, ORV_MAX_THREADS + 1, "Invalid thread count: 257"},
      {48000.0, std::numeric_limits<int>::max(), "Invalid thread count: 2147483647"},
  };
  std::vector<float> out(2 * 64);
  for (const Case& c : cases) {
    const InitParam init = DefaultInitParam(c.rate, c.threads);
    t.Init(host.ctx(), &init);
    EXPECT_EQ(host.Error(), c.message);
    t.Render(host.ctx(), out.data(), 64);
    EXPECT_EQ(host.Error(), "Not initialized.") << c.message;
  }
}

TEST_F(HostTest, TheEdgesOfTheRateRangeRender) {
  for (double rate : {ORV_MIN_SAMPLING_RATE, ORV_MAX_SAMPLING_RATE}) {
    HostContext host(library);
    const InitParam init = DefaultInitParam(rate);
    host.table.Init(host.ctx(), &init);
    std::vector<float> out(2 * 64, 7.0f);
    host.table.Render(host.ctx(), out.data(), 64);
    EXPECT_EQ(host.table.CheckError(host.ctx()), nullptr) << rate << ": " << host.Error();
    EXPECT_TRUE(AllZero(out));
  }
}

TEST_F(HostTest, InitReplacesOnSuccessAndKeepsTheOldContextOnFailure) {
  HostContext host(library);
  auto& t = host.table;
  InitParam init = DefaultInitParam(48000.0, 2);
  t.Init(host.ctx(), &init);
  ASSERT_EQ(t.CheckError(host.ctx()), nullptr);
  init = DefaultInitParam(44100.0, 1);
  t.Init(host.ctx(), &init);  // replaces; the first context's thread stops
  ASSERT_EQ(t.CheckError(host.ctx()), nullptr);
  init.samplingRate = -1.0;
  t.Init(host.ctx(), &init);
  EXPECT_EQ(host.Error(), "Invalid sampling rate: -1.000000");
  std::vector<float> out(2 * 128, 1.0f);
  t.Render(host.ctx(), out.data(), 128);  // the 44.1 kHz context still renders
  EXPECT_EQ(host.Error(), "Invalid sampling rate: -1.000000");
  EXPECT_TRUE(AllZero(out));
}

TEST_F(HostTest, BuffersOfAllThreeFormatsAreCreatedAndFreed) {
  HostContext host(library);
  auto& t = host.table;
  const InitParam init = DefaultInitParam();
  t.Init(host.ctx(), &init);
  const std::vector<std::uint8_t> bytes(64, 128);
  for (int bits : {8, 16, 32}) {
    for (int channels : {1, 2}) {
      const BufferParam bp{bytes.data(), bits, channels, 64 / (bits / 8) / channels, 22050.0};
      Buffer* b = t.CreateBuffer(host.ctx(), &bp);
      ASSERT_NE(b, nullptr) << bits;
      t.FreeBuffer(host.ctx(), b);
    }
  }
  const BufferParam empty{nullptr, 16, 1, 0, 48000.0};
  Buffer* b = t.CreateBuffer(host.ctx(), &empty);
  EXPECT_NE(b, nullptr);
  t.FreeBuffer(host.ctx(), b);
  EXPECT_EQ(t.CheckError(host.ctx()), nullptr);
}

TEST_F(HostTest, WithNoVoicesTheOutputIsExactSilenceWhateverTheBlockSize) {
  for (int threads : {1, 3}) {
    HostContext host(library);
    auto& t = host.table;
    const InitParam init = DefaultInitParam(48000.0, threads);
    t.Init(host.ctx(), &init);
    for (int frames : {512, 256, 1, 4096, 512, 333, 333, 16384}) {
      std::vector<float> out(2 * frames, 7.0f);
      t.Render(host.ctx(), out.data(), frames);
      ASSERT_TRUE(AllZero(out)) << frames;
    }
    EXPECT_EQ(t.CheckError(host.ctx()), nullptr);
  }
}

TEST_F(HostTest, InvalidFrameCountsAreRejectedWithoutTouchingTheStream) {
  HostContext host(library);
  auto& t = host.table;
  const InitParam init = DefaultInitParam();
  t.Init(host.ctx(), &init);
  std::vector<float> out(16, 7.0f);
  t.Render(host.ctx(), out.data(), 0);
  EXPECT_EQ(host.Error(), "Invalid frame count: 0");
  t.Render(host.ctx(), out.data(), -5);
  EXPECT_EQ(host.Error(), "Invalid frame count: -5");
  t.Render(host.ctx(), out.data(), ORV_MAX_RENDER_FRAMES + 1);
  EXPECT_EQ(host.Error(), "Invalid frame count: " + std::to_string(ORV_MAX_RENDER_FRAMES + 1));
  for (float x : out) EXPECT_EQ(x, 7.0f);
  std::vector<float> big(2 * ORV_MAX_RENDER_FRAMES, 7.0f);
  t.Render(host.ctx(), big.data(), ORV_MAX_RENDER_FRAMES);  // the largest block works
  EXPECT_TRUE(AllZero(big));
}

TEST_F(HostTest, DestroyEndsPromptlyWhileTheThreadWaitsForARead) {
  for (int threads : {1, 4}) {
    HostContext host(library);
    auto& t = host.table;
    const InitParam init = DefaultInitParam(48000.0, threads);
    t.Init(host.ctx(), &init);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // first block is waiting
    const auto t0 = std::chrono::steady_clock::now();
    host.Destroy();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
  }
}

struct LogSink {
  std::mutex mutex;
  std::vector<std::string> messages;
  static void Callback(const char* message, void* userData) {
    auto* sink = static_cast<LogSink*>(userData);
    std::lock_guard<std::mutex> lock(sink->mutex);
    sink->messages.emplace_back(message);
  }
};

TEST_F(HostTest, SlowReadsAreReportedThroughTheLogCallback) {
  LogSink sink;
  HostContext host(library);
  auto& t = host.table;
  // At a billion frames per second a one-frame block lasts a nanosecond, so
  // any read that has to wait for a fresh block is "slow".
  InitParam init = DefaultInitParam(1e9);
  init.logCallback = &LogSink::Callback;
  init.logUserData = &sink;
  t.Init(host.ctx(), &init);
  std::vector<float> out(4);
  for (int i = 0; i < 20; ++i) t.Render(host.ctx(), out.data(), 1 + i % 2);
  host.Destroy();
  ASSERT_FALSE(sink.messages.empty());
  for (const auto& m : sink.messages) {
    EXPECT_EQ(m.rfind("Read time exceeded 20% (", 0), 0u) << m;
    EXPECT_NE(m.find("%): possibly overload"), std::string::npos) << m;
  }
}

}  // namespace
