// orv-play: plays a scene, or a sound file circling the head, through the
// sound card with liborv.so.
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Orbit.h"
#include "OrvHost.h"
#include "Scene.h"
#include "ScenePlayer.h"
#include "SoundCard.h"
#include "Sounds.h"
#include "Terminal.h"
#include "UserError.h"

namespace orvplay {
namespace {

using namespace orvrender;

void ListDevices(const PortAudio& portAudio) {
  const std::vector<OutputDevice> devices = portAudio.OutputDevices();
  if (devices.empty()) {
    std::printf("No sound card output that plays stereo was found.\n");
    return;
  }
  int nameWidth = 6;
  for (const OutputDevice& d : devices)
    nameWidth = std::max(nameWidth, static_cast<int>(d.name.size()));
  std::printf("   #  %-*s  %8s  %-20s  %s\n", nameWidth, "Output", "Rate", "Latency low / high",
              "Host");
  for (const OutputDevice& d : devices) {
    char latency[48];
    std::snprintf(latency, sizeof latency, "%.1f / %.1f ms", 1e3 * d.lowLatency,
                  1e3 * d.highLatency);
    std::printf("%c%3d  %-*s  %8.0f  %-20s  %s\n", d.isDefault ? '*' : ' ', d.index, nameWidth,
                d.name.c_str(), d.defaultRate, latency, d.hostApi.c_str());
  }
  std::printf("* the default output\n");
}

// Each distinct message once, in order of first appearance, with its count;
// messages that differ only in their numbers count as one.
void PrintMessages(const std::vector<std::string>& messages, std::uint64_t dropped) {
  if (messages.empty() && dropped == 0) {
    std::printf("  Library log  none\n");
    return;
  }
  struct Group {
    std::string first;
    std::size_t count = 0;
  };
  std::vector<Group> groups;
  std::map<std::string, std::size_t> index;
  for (const std::string& m : messages) {
    std::string shape;
    for (char c : m) {
      if (c < '0' || c > '9')
        shape += c;
      else if (shape.empty() || shape.back() != '#')
        shape += '#';
    }
    const auto [it, isNew] = index.emplace(shape, groups.size());
    if (isNew) groups.push_back({m, 0});
    ++groups[it->second].count;
  }
  std::printf("  Library log  %zu message%s:\n", messages.size(), messages.size() == 1 ? "" : "s");
  for (const Group& g : groups) std::printf("    %zux %s\n", g.count, g.first.c_str());
  if (dropped > 0)
    std::printf("    and %llu more that came faster than they were collected\n",
                static_cast<unsigned long long>(dropped));
}

void PrintSummary(const std::string& what, const OutputDevice& device, int block,
                  const PlayReport& r) {
  std::printf("Played %s on '%s' (%s, %.0f Hz, blocks of %d frames, latency %.1f ms)%s\n",
              what.c_str(), device.name.c_str(), device.hostApi.c_str(), r.sampleRate, block,
              1e3 * r.latency, r.wasQuit ? ", stopped early" : "");
  std::printf("  Frames       %lld (%.3f s, in %.2f s)\n", static_cast<long long>(r.frames),
              static_cast<double>(r.frames) / r.sampleRate, r.wallSeconds);
  std::printf("  Underruns    %lld\n", static_cast<long long>(r.underruns));
  std::printf("  Voices       %lld played\n", static_cast<long long>(r.plays));
  if (r.playsAfterEnd > 0)
    std::printf("  Note         %lld plays fall at or after the end and were not played\n",
                static_cast<long long>(r.playsAfterEnd));
  PrintMessages(r.messages, r.droppedMessages);
}

int Run(int argc, char** argv) {
  Options options;
  if (const auto status = ParseCommandLine(argc, argv, options)) return *status;

  const PortAudio portAudio;
  if (options.shouldListDevices) {
    ListDevices(portAudio);
    return 0;
  }
  const OutputDevice device = portAudio.Find(options.device);

  Scene scene;
  std::vector<SoundData> sounds;
  std::string what;
  if (!options.orbit.empty()) {
    const double rate = options.sampleRate.value_or(device.defaultRate);
    sounds.push_back(MixedToMono(LoadSound(OrbitSound(options.orbit), rate)));
    scene = OrbitScene(options.orbit, rate, options.seconds.value_or(kOrbitDuration));
    what = options.orbit + " circling the head";
  } else {
    scene = LoadScene(options.scene);
    if (options.sampleRate) scene.sampleRate = *options.sampleRate;
    for (const SoundDefinition& definition : scene.sounds) {
      try {
        sounds.push_back(LoadSound(definition, scene.sampleRate));
      } catch (const UserError& e) {
        throw UserError(options.scene + ": " + e.what());
      }
    }
    what = options.scene;
  }
  if (options.threads) scene.threads = *options.threads;
  if (options.seconds) scene.duration = options.seconds;
  if (!scene.duration)
    throw UserError(options.scene +
                    ": $.duration: missing; give the scene a duration or use --seconds");

  const std::string libraryPath = options.library.empty() ? DefaultLibraryPath() : options.library;
  const OrvLibrary library(libraryPath);
  Terminal terminal;
  PlaySettings settings;
  settings.duration = *scene.duration;
  settings.block = options.block.value_or(scene.blockSize);
  settings.device = device;
  settings.latency = LatencySeconds(options.latency, device.lowLatency, device.highLatency);
  settings.terminal = &terminal;
  const PlayReport report = PlayScene(scene, sounds, library, portAudio, settings);
  PrintSummary(what, device, settings.block, report);
  const int signal = CaughtSignal();
  return signal ? 128 + signal : 0;
}

}  // namespace
}  // namespace orvplay

int main(int argc, char** argv) {
  using namespace orvplay;
  CatchSignals();
  try {
    return Run(argc, argv);
  } catch (const orvrender::UsageError& e) {
    std::fprintf(stderr, "orv-play: %s\nTry 'orv-play --help'.\n", e.what());
    return 2;
  } catch (const orvrender::UserError& e) {
    std::fprintf(stderr, "orv-play: %s\n", e.what());
    const int signal = CaughtSignal();
    return signal ? 128 + signal : 1;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "orv-play: out of memory: the scene's sounds do not fit\n");
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orv-play: unexpected failure: %s\n", e.what());
    return 1;
  }
}
