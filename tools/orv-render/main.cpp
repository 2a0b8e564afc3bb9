// orv-render: renders a JSON scene to a sound file through liborv.so.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "OrvHost.h"
#include "OutputFile.h"
#include "Progress.h"
#include "Scene.h"
#include "SceneRenderer.h"
#include "Sounds.h"
#include "UserError.h"

namespace orvrender {
namespace {

std::atomic<bool> isInterrupted{false};
std::atomic<int> endingSignal{0};

void OnSignal(int signal) {
  endingSignal = signal;
  isInterrupted = true;
}

// Ctrl-C, a closed terminal and kill all end the render at the next block,
// which removes the temporary output. A second signal ends the tool at once.
void CatchInterrupts() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGHUP, SIGINT, SIGTERM}) sigaction(signal, &action, nullptr);
}

std::string Level(double x) {
  char text[32];
  if (x > 0.0)
    std::snprintf(text, sizeof text, "%6.1f dBFS", Levels::Decibels(x));
  else
    std::snprintf(text, sizeof text, "  silent");
  return text;
}

// Each distinct message once, in order of first appearance, with its count
// and, when it recurred with other numbers, its last form.
void PrintMessages(std::FILE* out, const std::vector<std::string>& messages) {
  if (messages.empty()) {
    std::fprintf(out, "  Library log  none\n");
    return;
  }
  struct Group {
    std::string first, last;
    std::size_t count = 0;
  };
  std::vector<Group> groups;
  std::map<std::string, std::size_t> index;  // message with each number as '#' -> group
  for (const std::string& m : messages) {
    std::string shape;
    for (char c : m) {
      const bool isDigit = c >= '0' && c <= '9';
      if (!isDigit)
        shape += c;
      else if (shape.empty() || shape.back() != '#')
        shape += '#';
    }
    const auto [it, isNew] = index.emplace(shape, groups.size());
    if (isNew) groups.push_back({m, m, 0});
    Group& g = groups[it->second];
    g.last = m;
    ++g.count;
  }
  std::fprintf(out, "  Library log  %zu message%s:\n", messages.size(),
               messages.size() == 1 ? "" : "s");
  for (const Group& g : groups) {
    std::fprintf(out, "    %zux %s\n", g.count, g.first.c_str());
    if (g.count > 1 && g.last != g.first) std::fprintf(out, "        last: %s\n", g.last.c_str());
  }
}

void PrintSummary(const Options& options, const Scene& scene, const RenderReport& r,
                  const std::string& libraryPath, const std::vector<std::string>& messages) {
  std::FILE* out = stdout;
  const double seconds = static_cast<double>(r.frames) / r.sampleRate;
  std::fprintf(out, "Rendered %s -> %s (%s, %.0f Hz, stereo)\n", options.scene.c_str(),
               options.output.c_str(), r.formatName.c_str(), r.sampleRate);
  std::fprintf(out, "  Duration     %.3f s (%lld frames)\n", seconds,
               static_cast<long long>(r.frames));
  const char* names[2] = {"Left ", "Right"};
  for (int c = 0; c < 2; ++c)
    std::fprintf(out, "  %s        peak %s   RMS %s\n", names[c], Level(r.levels.Peak(c)).c_str(),
                 Level(r.levels.Rms(c)).c_str());
  if (r.levels.NonFinite() > 0)
    std::fprintf(out, "  Warning      %lld samples were not finite numbers\n",
                 static_cast<long long>(r.levels.NonFinite()));
  if (r.levels.BeyondFullScale() > 0)
    std::fprintf(out, "  Warning      %lld samples lie beyond full scale\n",
                 static_cast<long long>(r.levels.BeyondFullScale()));
  const long long voices = r.localVoices + r.relativeVoices + r.worldVoices;
  std::fprintf(out, "  Voices       %lld played (%lld local, %lld relative, %lld world)\n", voices,
               static_cast<long long>(r.localVoices), static_cast<long long>(r.relativeVoices),
               static_cast<long long>(r.worldVoices));
  if (r.playsAfterEnd > 0)
    std::fprintf(out, "  Note         %lld plays fall at or after the end and were not played\n",
                 static_cast<long long>(r.playsAfterEnd));
  std::fprintf(out, "  Speed        %.1fx real time (%.2f s; %d thread%s, blocks of %d frames)\n",
               r.wallSeconds > 0.0 ? seconds / r.wallSeconds : 0.0, r.wallSeconds, scene.threads,
               scene.threads == 1 ? "" : "s", scene.blockSize);
  std::fprintf(out, "  Library      %s\n", libraryPath.c_str());
  PrintMessages(out, messages);
}

int Run(int argc, char** argv) {
  const Options options = ParseCommandLine(argc, argv);
  if (options.shouldShowHelp) {
    std::fputs(HelpText().c_str(), stdout);
    return 0;
  }
  if (options.shouldShowVersion) {
    std::printf("orv-render %s\n", ORV_RENDER_VERSION);
    return 0;
  }

  SceneOverrides overrides;
  overrides.sampleRate = options.sampleRate;
  overrides.threads = options.threads;
  overrides.blockSize = options.blockSize;
  overrides.duration = options.seconds;
  const int format = FormatForPath(options.output, options.format);  // fails before any work
  const Scene scene = LoadScene(options.scene, overrides);
  const double duration = *scene.duration;  // LoadScene makes sure there is one
  CheckWritable(options.output, format, static_cast<int>(scene.sampleRate), 2);

  std::vector<SoundData> sounds;
  for (const SoundDefinition& definition : scene.sounds) {
    try {
      sounds.push_back(LoadSound(definition, scene.sampleRate));
    } catch (const UserError& e) {
      throw UserError(options.scene + ": " + e.what());
    }
  }

  const std::string libraryPath = options.library.empty() ? DefaultLibraryPath() : options.library;
  const OrvLibrary library(libraryPath);
  LogCollector log;
  Progress progress(!options.isQuiet && Progress::IsTerminal(stderr), duration);
  RenderTarget target;
  target.outputPath = options.output;
  target.format = format;
  target.duration = duration;
  target.progress = &progress;
  target.isInterrupted = &isInterrupted;
  target.log = &log;
  RenderReport report;
  try {
    report = RenderScene(scene, sounds, library, target);
  } catch (const UserError&) {
    progress.Clear();
    // What the library logged before the failure may explain it.
    for (const std::string& m : log.Messages())
      std::fprintf(stderr, "orv-render: library log: %s\n", m.c_str());
    throw;
  }
  progress.Finish();
  if (!options.isQuiet) PrintSummary(options, scene, report, library.Path(), log.Messages());
  return 0;
}

}  // namespace
}  // namespace orvrender

int main(int argc, char** argv) {
  using namespace orvrender;
  CatchInterrupts();
  try {
    return Run(argc, argv);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "orv-render: %s\nTry 'orv-render --help'.\n", e.what());
    return 2;
  } catch (const UserError& e) {
    // One line per mistake, each with the tool's name, as compilers do.
    std::string text = e.what();
    for (std::size_t start = 0; start <= text.size();) {
      const std::size_t end = std::min(text.find('\n', start), text.size());
      std::fprintf(stderr, "orv-render: %s\n", text.substr(start, end - start).c_str());
      start = end + 1;
    }
    // The shell's convention: 128 + the signal's number.
    return isInterrupted ? 128 + endingSignal : 1;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "orv-render: out of memory: the scene's sounds or output do not fit\n");
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orv-render: unexpected failure: %s\n", e.what());
    return 1;
  }
}
