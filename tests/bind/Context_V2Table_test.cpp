// The version 2 table as a host sees it: what OrvInitialize fills, every new
// function's error texts, voice handle misuse and ClearError.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <vector>

#include "bind/Context_V2Host.h"

namespace {

using orvtest::HostLibrary;
using orvtest::V2Host;
using orvtest::VoiceAt;

class V2TableTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(library.loadError.empty()) << library.loadError; }
  HostLibrary library;
};

TEST_F(V2TableTest, Version1FillsOnlyItsElevenMembersAndVersion2FillsAll) {
  // A version 1 host's table is 88 bytes (LP64): nothing after it is written.
  std::vector<unsigned char> memory(sizeof(OrvContext2) + 64, 0xA5);
  ASSERT_EQ(library.initialize(1, 1, reinterpret_cast<OrvContext*>(memory.data())), nullptr);
  for (std::size_t i = sizeof(OrvContext); i < memory.size(); ++i) ASSERT_EQ(memory[i], 0xA5) << i;
  OrvContext v1;
  std::memcpy(&v1, memory.data(), sizeof v1);
  v1.Destroy(v1.context);

  OrvContext2 v2;
  std::memset(&v2, 0, sizeof v2);
  ASSERT_EQ(library.initialize(1, 2, reinterpret_cast<OrvContext*>(&v2)), nullptr);
  void* members[sizeof v2 / sizeof(void*)];
  std::memcpy(members, &v2, sizeof v2);
  for (void* member : members) EXPECT_NE(member, nullptr);
  v2.Destroy(v2.context);

  for (int version : {0, 3, -1}) {
    OrvContext2 table{};
    EXPECT_STREQ(library.initialize(1, version, reinterpret_cast<OrvContext*>(&table)),
                 "Interface version unmatch. This library's version is '2'.");
    EXPECT_EQ(table.context, nullptr);
  }
}

TEST_F(V2TableTest, EveryNewFunctionSaysNotInitializedFirst) {
  V2Host host(library);
  const auto& t = host.table;
  const OrvVoiceParam p = VoiceAt(ORV_SPACE_LOCAL);
  EXPECT_EQ(t.Play(host.ctx(), nullptr, &p), nullptr);
  EXPECT_EQ(host.Error(), "Not initialized.");
  t.ClearError(host.ctx());
  EXPECT_EQ(t.CheckError(host.ctx()), nullptr);
  auto check = [&](auto call) {
    t.ClearError(host.ctx());
    call();
    EXPECT_EQ(host.Error(), "Not initialized.");
  };
  const Vector3 v{0, 0, 1};
  check([&] { t.MoveVoice(host.ctx(), nullptr, &v, &v); });
  check([&] { t.SetVoiceVolume(host.ctx(), nullptr, 1.0f); });
  check([&] { t.SetVoiceSpeed(host.ctx(), nullptr, 1.0f); });
  check([&] { t.StopVoice(host.ctx(), nullptr); });
  check([&] { EXPECT_EQ(t.VoiceState(host.ctx(), nullptr), ORV_VOICE_ENDED); });
  check([&] { t.ReleaseVoice(host.ctx(), nullptr); });
  check([&] { EXPECT_EQ(t.FrameClock(host.ctx()), -1); });
  check([&] { t.SetListenerVelocity(host.ctx(), &v); });
  check([&] { t.LoadHrtf(host.ctx(), "x", 1); });
  check([&] { t.SetOption(host.ctx(), ORV_OPTION_OFFLINE, 1.0); });
}

TEST_F(V2TableTest, PlayAndVoiceFunctionsRefuseBadArgumentsWithTheirTexts) {
  V2Host host(library);
  host.Init();
  const auto& t = host.table;
  Buffer* b = host.Mono(std::vector<float>(100, 0.1f));
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    OrvVoiceParam param;
    const char* text;
  };
  std::vector<Case> cases;
  auto with = [](auto change) {
    OrvVoiceParam p = VoiceAt(ORV_SPACE_LISTENER, {1, 0, 0});
    change(p);
    return p;
  };
  cases.push_back({with([](auto& p) { p.space = 3; }), "Invalid voice space."});
  cases.push_back({with([&](auto& p) { p.volume = nan; }), "NaN gain."});
  cases.push_back({with([&](auto& p) { p.volume = inf; }), "NaN gain."});
  cases.push_back({with([](auto& p) { p.volume = -0.5f; }), "Invalid volume."});
  cases.push_back({with([](auto& p) { p.speed = 0.0f; }), "Speed is not positive."});
  cases.push_back({with([&](auto& p) { p.speed = nan; }), "Speed is not positive."});
  cases.push_back({with([&](auto& p) { p.position.y = inf; }), "Invalid voice position."});
  cases.push_back({with([&](auto& p) { p.velocity.z = nan; }), "Invalid voice velocity."});
  cases.push_back({with([](auto& p) { p.startFrame = -2; }), "Invalid start frame."});
  for (const Case& c : cases) {
    t.ClearError(host.ctx());
    EXPECT_EQ(t.Play(host.ctx(), b, &c.param), nullptr);
    EXPECT_EQ(host.Error(), c.text);
  }
  const OrvVoiceParam good = VoiceAt(ORV_SPACE_WORLD, {1, 0, 0});
  EXPECT_EQ(t.Play(host.ctx(), nullptr, &good), nullptr);
  EXPECT_EQ(host.Error(), "Parameter buffer is null.");
  EXPECT_EQ(t.Play(host.ctx(), b, nullptr), nullptr);
  EXPECT_EQ(host.Error(), "Parameter param is null.");
  t.FreeBuffer(host.ctx(), b);
  EXPECT_EQ(t.Play(host.ctx(), b, &good), nullptr);
  EXPECT_EQ(host.Error(), "Invalid buffer handle.");

  b = host.Mono(std::vector<float>(100, 0.1f));
  OrvVoice* voice = t.Play(host.ctx(), b, &good);
  ASSERT_NE(voice, nullptr) << host.Error();
  const Vector3 v{0, 0, 1}, bad{nan, 0, 0};
  t.ClearError(host.ctx());
  t.MoveVoice(host.ctx(), voice, nullptr, &v);
  EXPECT_EQ(host.Error(), "Parameter position is null.");
  t.MoveVoice(host.ctx(), voice, &bad, &v);
  EXPECT_EQ(host.Error(), "Invalid voice position.");
  t.MoveVoice(host.ctx(), voice, &v, &bad);
  EXPECT_EQ(host.Error(), "Invalid voice velocity.");
  t.SetVoiceVolume(host.ctx(), voice, nan);
  EXPECT_EQ(host.Error(), "NaN gain.");
  t.SetVoiceVolume(host.ctx(), voice, -1.0f);
  EXPECT_EQ(host.Error(), "Invalid volume.");
  t.SetVoiceSpeed(host.ctx(), voice, -1.0f);
  EXPECT_EQ(host.Error(), "Speed is not positive.");
  t.SetListenerVelocity(host.ctx(), nullptr);
  EXPECT_EQ(host.Error(), "Parameter velocity is null.");
  t.SetListenerVelocity(host.ctx(), &bad);
  EXPECT_EQ(host.Error(), "Invalid listener velocity.");
  t.SetOption(host.ctx(), 99, 1.0);
  EXPECT_EQ(host.Error(), "Invalid option: 99");
  t.SetOption(host.ctx(), ORV_OPTION_DOPPLER_FACTOR, nan);
  EXPECT_EQ(host.Error(), "Invalid option value.");
  t.LoadHrtf(host.ctx(), nullptr, 10);
  EXPECT_EQ(host.Error(), "Parameter data is null.");
  t.LoadHrtf(host.ctx(), "x", 0);
  EXPECT_EQ(host.Error(), "Invalid data size.");
  t.StopVoice(host.ctx(), nullptr);
  EXPECT_EQ(host.Error(), "Parameter voice is null.");

  // Valid calls leave no error behind once it is cleared.
  t.ClearError(host.ctx());
  t.MoveVoice(host.ctx(), voice, &v, nullptr);
  t.SetVoiceVolume(host.ctx(), voice, 0.5f);
  t.SetVoiceSpeed(host.ctx(), voice, 2.0f);
  t.SetListenerVelocity(host.ctx(), &v);
  t.SetOption(host.ctx(), ORV_OPTION_DOPPLER_FACTOR, 1.0);
  t.SetOption(host.ctx(), ORV_OPTION_SPEED_OF_SOUND, 340.0);
  t.SetOption(host.ctx(), ORV_OPTION_LOAD_CONTROL, 0.0);
  host.Render(512);
  EXPECT_EQ(t.FrameClock(host.ctx()), 512);
  t.ReleaseVoice(host.ctx(), voice);
  EXPECT_EQ(t.CheckError(host.ctx()), nullptr) << host.Error();
}

TEST_F(V2TableTest, MisusedHandlesAreRefusedNeverFollowed) {
  V2Host host(library), other(library);
  host.Init();
  other.Init();
  const auto& t = host.table;
  Buffer* b = host.Mono(std::vector<float>(4800, 0.1f));
  Buffer* ob = other.Mono(std::vector<float>(4800, 0.1f));
  const OrvVoiceParam p = VoiceAt(ORV_SPACE_LOCAL);
  OrvVoice* released = t.Play(host.ctx(), b, &p);
  OrvVoice* foreign = other.table.Play(other.ctx(), ob, &p);
  ASSERT_NE(released, nullptr);
  ASSERT_NE(foreign, nullptr);
  t.ReleaseVoice(host.ctx(), released);
  OrvVoice* reused = t.Play(host.ctx(), b, &p);  // may take the released slot
  ASSERT_NE(reused, nullptr);
  EXPECT_NE(reused, released);
  alignas(16) static char garbage[64];
  for (OrvVoice* bad : {released, foreign, reinterpret_cast<OrvVoice*>(garbage),
                        reinterpret_cast<OrvVoice*>(~std::uintptr_t{0})}) {
    t.ClearError(host.ctx());
    EXPECT_EQ(t.VoiceState(host.ctx(), bad), ORV_VOICE_ENDED);
    EXPECT_EQ(host.Error(), "Invalid voice handle.");
    t.ClearError(host.ctx());
    t.StopVoice(host.ctx(), bad);
    EXPECT_EQ(host.Error(), "Invalid voice handle.");
    t.ClearError(host.ctx());
    t.ReleaseVoice(host.ctx(), bad);
    EXPECT_EQ(host.Error(), "Invalid voice handle.");
  }
  EXPECT_NE(t.VoiceState(host.ctx(), reused), ORV_VOICE_ENDED);
  EXPECT_NE(other.table.VoiceState(other.ctx(), foreign), ORV_VOICE_ENDED);
  // The handles still held are released by Destroy (leak checkers watch).
}

TEST_F(V2TableTest, StatesFollowTheStartFrameTheEndAndTheLimit) {
  V2Host host(library);
  host.Init(1, 2);
  const auto& t = host.table;
  Buffer* b = host.Mono(std::vector<float>(1000, 0.1f));
  OrvVoiceParam lateParam = VoiceAt(ORV_SPACE_LISTENER, {1, 0, 0}, false, 1024);
  OrvVoice* late = t.Play(host.ctx(), b, &lateParam);
  ASSERT_NE(late, nullptr) << host.Error();
  EXPECT_EQ(t.VoiceState(host.ctx(), late), ORV_VOICE_WAITING);
  host.Render(1024);
  EXPECT_EQ(t.VoiceState(host.ctx(), late), ORV_VOICE_WAITING);
  host.Render(256);
  EXPECT_EQ(t.VoiceState(host.ctx(), late), ORV_VOICE_PLAYING);
  host.Render(1024);
  EXPECT_EQ(t.VoiceState(host.ctx(), late), ORV_VOICE_ENDED);

  // A limit of two: the third and fourth voices steal the two oldest.
  const OrvVoiceParam loop = VoiceAt(ORV_SPACE_LISTENER, {1, 0, 0}, true);
  std::vector<OrvVoice*> voices;
  for (int i = 0; i < 4; ++i) {
    voices.push_back(t.Play(host.ctx(), b, &loop));
    host.Render(256);
  }
  EXPECT_EQ(t.CheckError(host.ctx()), nullptr) << host.Error();
  int ended = 0;
  for (OrvVoice* v : voices) ended += t.VoiceState(host.ctx(), v) == ORV_VOICE_ENDED;
  EXPECT_EQ(t.VoiceState(host.ctx(), voices[0]), ORV_VOICE_ENDED);
  EXPECT_EQ(t.VoiceState(host.ctx(), voices[3]), ORV_VOICE_PLAYING);
  EXPECT_GE(ended, 1);
  // A released loop is stopped; its handle is gone.
  t.ReleaseVoice(host.ctx(), voices[3]);
  EXPECT_EQ(t.CheckError(host.ctx()), nullptr);
}

TEST_F(V2TableTest, GarbageHrtfDataIsRefusedAndRenderingGoesOn) {
  V2Host host(library);
  host.Init();
  const auto& t = host.table;
  Buffer* b = host.Mono(orvtest::Sine(4800, 500.0, 48000.0, 0.3f));
  const OrvVoiceParam p = VoiceAt(ORV_SPACE_LISTENER, {1, 0, 0}, true);
  ASSERT_NE(t.Play(host.ctx(), b, &p), nullptr);
  const auto before = host.Render(4800);
  std::vector<unsigned char> garbage(4096);
  for (std::size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<unsigned char>(i * 37);
  t.ClearError(host.ctx());
  t.LoadHrtf(host.ctx(), garbage.data(), static_cast<int64_t>(garbage.size()));
  EXPECT_NE(t.CheckError(host.ctx()), nullptr);
  const auto after = host.Render(4800);
  // The carried set stays: the looping tone sounds on at the same level.
  const double r0 = orvtest::Rms(before.data() + 4800, 4800);
  const double r1 = orvtest::Rms(after.data(), after.size());
  EXPECT_GT(r0, 0.01);
  EXPECT_NEAR(r1 / r0, 1.0, 0.05);
}

}  // namespace
