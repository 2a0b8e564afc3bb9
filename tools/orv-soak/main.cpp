// orv-soak SECONDS [LIBRARY]: drives liborv.so as a busy game would, paced
// in real time. An audio thread reads 512-frame blocks at 48 kHz on
// schedule; the main thread keeps about 200 voices (local, relative and
// world) starting and ending, creates and frees buffers, and moves the
// listener. The last line sums it up; the exit status is 1 when a sample was
// not finite or beyond +-1, more than 1 % of the blocks were late (more than
// a period after they were due), or the resident memory grew by more than
// 10 % after the warm-up.
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "orv/orv.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kRate = 48000.0;
constexpr int kBlock = 512;
constexpr int kVoices = 200;
constexpr double kMaxLateFraction = 0.01;
constexpr double kMaxRssGrowth = 0.10;

long ResidentKilobytes() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

void LowPass(const Vector3* position, float* result, void*) {
  // Farther sounds are duller, as a game's occlusion would make them.
  const float d = std::sqrt(position->x * position->x + position->z * position->z);
  *result = 1.0f / (1.0f + 0.05f * d);
}

struct AudioStats {
  std::atomic<long> blocks{0}, nonFinite{0}, beyondOne{0}, late{0};
};

void AudioThread(const OrvContext& t, const std::atomic<bool>& done, AudioStats& stats) {
  std::vector<float> block(2 * kBlock);
  const auto period =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(kBlock / kRate));
  auto due = Clock::now() + period;
  while (!done.load()) {
    t.Render(t.context, block.data(), kBlock);
    // A device queues two blocks: a read that ends more than a period after
    // its block was due leaves the device without audio, a dropout.
    const auto now = Clock::now();
    if (now > due + period) {
      stats.late.fetch_add(1);
      due = now;  // start a fresh schedule rather than count one stall many times
    }
    for (float v : block) {
      if (!std::isfinite(v))
        stats.nonFinite.fetch_add(1);
      else if (std::fabs(v) > 1.0f)
        stats.beyondOne.fetch_add(1);
    }
    stats.blocks.fetch_add(1);
    std::this_thread::sleep_until(due);
    due += period;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: orv-soak SECONDS [LIBRARY]\n");
    return 2;
  }
  const double seconds = std::atof(argv[1]);
  void* library = dlopen(argc > 2 ? argv[2] : ORV_SOAK_LIBRARY, RTLD_NOW);
  if (!library) {
    std::fprintf(stderr, "orv-soak: %s\n", dlerror());
    return 2;
  }
  auto initialize = reinterpret_cast<OrvInitializeFunction>(dlsym(library, "OrvInitialize"));
  OrvContext t{};
  if (!initialize || initialize(0x4f5256, 1, &t)) return 2;
  InitParam init{};
  init.samplingRate = kRate;
  init.numThreads = 2;
  init.maxPolyphonics = 256;
  init.lowPassCallback = &LowPass;
  t.Init(t.context, &init);
  if (const char* error = t.CheckError(t.context)) {
    std::fprintf(stderr, "orv-soak: %s\n", error);
    return 2;
  }

  std::mt19937 random(7);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  // Sounds of 0.2 to 2 s: decaying noise bursts and tones.
  auto makeSound = [&](int index) {
    const int frames = static_cast<int>(kRate * (0.2 + 1.8 * ((index * 37) % 100) / 100.0));
    std::vector<float> samples(static_cast<std::size_t>(frames));
    for (int i = 0; i < frames; ++i) {
      const float envelope = std::exp(-3.0f * static_cast<float>(i) / static_cast<float>(frames));
      const float tone = std::sin(2.0f * 3.14159265f * (200.0f + 40.0f * (index % 20)) *
                                  static_cast<float>(i) / static_cast<float>(kRate));
      samples[static_cast<std::size_t>(i)] = 0.05f * envelope * (index % 2 ? tone : unit(random));
    }
    const BufferParam bp{samples.data(), 32, 1, frames, kRate};
    return std::make_pair(t.CreateBuffer(t.context, &bp), frames / kRate);
  };

  AudioStats stats;
  std::atomic<bool> done{false};
  std::thread audio(AudioThread, std::cref(t), std::cref(done), std::ref(stats));

  const auto start = Clock::now();
  const double warmUp = std::min(30.0, 0.1 * seconds);
  long rssStart = 0;
  std::vector<double> voiceEnds;  // when each started voice ends, seconds
  long plays = 0, errors = 0;
  const ReverbParam room{0.6f, 300.0f, 250.0f, 6.0f, 0.9f};
  for (double now = 0.0; now < seconds;
       now = std::chrono::duration<double>(Clock::now() - start).count()) {
    if (rssStart == 0 && now >= warmUp) rssStart = ResidentKilobytes();
    // The listener walks a circle and turns with it.
    const float a = static_cast<float>(0.3 * now);
    const Vector3 eye{5.0f * std::cos(a), 0.0f, 5.0f * std::sin(a)};
    const Vector3 front{-std::sin(a), 0.0f, std::cos(a)}, up{0.0f, 1.0f, 0.0f};
    t.Respatialize(t.context, &eye, &front, &up, &room);

    voiceEnds.erase(
        std::remove_if(voiceEnds.begin(), voiceEnds.end(), [&](double end) { return end <= now; }),
        voiceEnds.end());
    while (static_cast<int>(voiceEnds.size()) < kVoices) {
      // Every sound gets a fresh buffer, freed at once: the voice keeps it.
      const auto [buffer, length] = makeSound(static_cast<int>(plays % 1000));
      const PlayParam play{0.5f + 0.5f * unit(random), 1.0f + 0.2f * unit(random), 1.0f};
      const Vector3 where{10.0f * unit(random), 2.0f * unit(random), 10.0f * unit(random)};
      switch (plays % 3) {
        case 0: t.PlayLocal(t.context, buffer, &play); break;
        case 1: t.PlayRelative(t.context, buffer, &where, &play); break;
        default: t.PlayAbsolute(t.context, buffer, &where, &play); break;
      }
      t.FreeBuffer(t.context, buffer);
      voiceEnds.push_back(now + length / play.speed + 0.05);
      ++plays;
    }
    if (t.CheckError(t.context)) ++errors;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  done.store(true);
  audio.join();
  const long rssEnd = ResidentKilobytes();
  t.Destroy(t.context);

  const long blocks = stats.blocks.load();
  const bool isLate = stats.late.load() > kMaxLateFraction * static_cast<double>(blocks);
  const bool hasGrown = rssStart > 0 && rssEnd > (1.0 + kMaxRssGrowth) * rssStart;
  const bool isBad = stats.nonFinite.load() > 0 || stats.beyondOne.load() > 0 || isLate ||
                     hasGrown || errors > 0 || blocks == 0;
  std::printf("plays %ld, errors %ld\n", plays, errors);
  std::printf(
      "blocks %ld rss_start_kb %ld rss_end_kb %ld non_finite %ld beyond_one %ld late %ld%s\n",
      blocks, rssStart, rssEnd, stats.nonFinite.load(), stats.beyondOne.load(), stats.late.load(),
      isBad ? " FAIL" : " ok");
  return isBad ? 1 : 0;
}
