// Host calls from several threads as the header allows them: Render on an
// audio thread, everything else on a main thread, CheckError from anywhere.
// Run under ThreadSanitizer by scripts/test.sh (tests named *Concurrency*).
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bind/Context_V2Host.h"
#include "common/OrvTestUtil.h"

namespace {

using orvtest::DefaultInitParam;
using orvtest::HostContext;
using orvtest::HostLibrary;

void NoLowPass(const Vector3*, float* result, void*) { *result = 1.0f; }

TEST(HostConcurrency, AudioMainAndErrorReaderThreadsShareOneContext) {
  HostLibrary library;
  ASSERT_TRUE(library.loadError.empty()) << library.loadError;
  HostContext host(library);
  const OrvContext& t = host.table;
  InitParam init = DefaultInitParam(48000.0, 3, 32);
  init.lowPassCallback = &NoLowPass;
  t.Init(host.ctx(), &init);
  ASSERT_EQ(t.CheckError(host.ctx()), nullptr);

  std::atomic<bool> done{false};
  std::atomic<long> badSamples{0};
  // The audio thread: reads blocks, and now and then fails a read, so that
  // both threads store error texts while the reader reads them.
  std::thread audio([&] {
    std::vector<float> block(2 * 256);
    for (int i = 0; !done.load(); ++i) {
      t.Render(host.ctx(), block.data(), i % 7 == 0 ? 0 : 256);
      for (float v : block)
        if (!(std::fabs(v) <= 1.0f)) badSamples.fetch_add(1);
    }
  });
  const std::set<std::string> known{"Invalid frame count: 0", "Parameter is null.",
                                    "Invalid buffer handle."};
  std::atomic<long> unknownTexts{0};
  std::thread reader([&] {
    while (!done.load()) {
      const char* text = t.CheckError(host.ctx());
      if (text && known.count(std::string(text, std::strlen(text))) == 0) unknownTexts.fetch_add(1);
    }
  });

  const std::vector<float> noise = orvtest::Noise(4800, 3, 0.2f);
  const BufferParam bp{noise.data(), 32, 1, static_cast<int>(noise.size()), 48000.0};
  const PlayParam play{0.5f, 1.0f, 1.0f};
  const ReverbParam room{0.5f, 200.0f, 200.0f, 5.0f, 0.8f};
  for (int i = 0; i < 400; ++i) {
    Buffer* b = t.CreateBuffer(host.ctx(), &bp);
    const float a = 0.1f * static_cast<float>(i);
    const Vector3 eye{std::sin(a), 0, 0}, front{std::sin(a), 0, std::cos(a)}, up{0, 1, 0};
    const Vector3 where{2 * std::cos(a), 0, 2 * std::sin(a)};
    t.Respatialize(host.ctx(), &eye, &front, &up, &room);
    t.PlayAbsolute(host.ctx(), b, &where, &play);
    t.PlayRelative(host.ctx(), b, &where, &play);
    t.PlayLocal(host.ctx(), b, &play);
    t.FreeBuffer(host.ctx(), b);
    t.FreeBuffer(host.ctx(), b);          // "Invalid buffer handle."
    t.CreateBuffer(host.ctx(), nullptr);  // "Parameter is null."
    if (i % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  done.store(true);
  audio.join();
  reader.join();
  EXPECT_EQ(badSamples.load(), 0);
  EXPECT_EQ(unknownTexts.load(), 0);
}

// Version 2: any host thread may call anything but Init and Destroy.
TEST(HostConcurrency, ThreeHostThreadsPlayMoveStopAndRespatializeWhileAFourthRenders) {
  HostLibrary library;
  ASSERT_TRUE(library.loadError.empty()) << library.loadError;
  orvtest::V2Host host(library);
  host.Init(3, 24, false);
  const OrvContext2& t = host.table;
  const std::vector<float> noise = orvtest::Noise(2400, 5, 0.2f);
  Buffer* shared = host.Mono(noise);
  ASSERT_NE(shared, nullptr);

  std::atomic<bool> done{false};
  std::atomic<long> badSamples{0};
  std::thread audio([&] {
    std::vector<float> block(2 * 333);
    while (!done.load()) {
      t.Render(host.ctx(), block.data(), 333);
      for (float v : block)
        if (!(std::fabs(v) <= 1.0f)) badSamples.fetch_add(1);
    }
  });
  auto worker = [&](int id) {
    std::vector<OrvVoice*> held;
    const PlayParam play{0.3f, 1.0f, 1.0f};
    const ReverbParam room{0.5f, 200.0f, 200.0f, 5.0f, 0.8f};
    for (int i = 0; i < 300; ++i) {
      const float a = 0.05f * static_cast<float>(i + 100 * id);
      const Vector3 where{2 * std::cos(a), 0.5f, 2 * std::sin(a)};
      OrvVoiceParam p =
          orvtest::VoiceAt(i % 3 == 0 ? ORV_SPACE_WORLD : ORV_SPACE_LISTENER, where, i % 5 == 0);
      p.velocity = {where.z, 0.0f, -where.x};
      if (i % 4 == 0) p.startFrame = t.FrameClock(host.ctx()) + 500;
      if (OrvVoice* v = t.Play(host.ctx(), shared, &p)) held.push_back(v);
      for (OrvVoice* v : held) t.MoveVoice(host.ctx(), v, &where, i % 2 ? &p.velocity : nullptr);
      if (held.size() > 6) {
        t.StopVoice(host.ctx(), held.front());
        t.VoiceState(host.ctx(), held.front());
        t.ReleaseVoice(host.ctx(), held.front());
        held.erase(held.begin());
      }
      if (!held.empty()) t.SetVoiceVolume(host.ctx(), held.back(), 0.5f);
      if (id == 0 && i % 10 == 0) {
        const Vector3 eye{std::sin(a), 0, 0}, front{std::sin(a), 0, std::cos(a)}, up{0, 1, 0};
        t.Respatialize(host.ctx(), &eye, &front, &up, &room);
        t.SetListenerVelocity(host.ctx(), &where);
      }
      if (id == 1) t.PlayAbsolute(host.ctx(), shared, &where, &play);
      if (id == 2) t.PlayRelative(host.ctx(), shared, &where, &play);
      if (i % 60 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (OrvVoice* v : held) t.ReleaseVoice(host.ctx(), v);
  };
  std::vector<std::thread> hosts;
  for (int id = 0; id < 3; ++id) hosts.emplace_back(worker, id);
  for (auto& h : hosts) h.join();
  done.store(true);
  audio.join();
  EXPECT_EQ(badSamples.load(), 0);
  EXPECT_EQ(t.CheckError(host.ctx()), nullptr) << host.Error();
}

}  // namespace
