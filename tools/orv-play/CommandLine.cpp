#include "CommandLine.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>

#include "Orbit.h"
#include "Scene.h"
#include "UserError.h"
#include "orv/orv.h"

namespace orvplay {

using orvrender::UsageError;

std::optional<int> ParseCommandLine(int argc, char** argv, Options& options) {
  CLI::App app{
      "Plays a scene (the JSON format of orv-render) or, with --orbit, a sound file circling\n"
      "the listener's head, through the sound card with liborv.so. Keys while playing:\n"
      "space pauses and resumes, q quits.",
      "orv-play"};
  app.set_version_flag("--version", std::string("orv-play ") + ORV_PLAY_VERSION);
  app.add_option("scene", options.scene, "The scene to play (JSON)")->type_name("SCENE.json");
  app.add_option("--orbit", options.orbit,
                 "Play this sound file circling the head, once every " +
                     std::to_string(static_cast<int>(kOrbitPeriod)) +
                     " s, instead of a scene:\nahead, right, behind, left (a headphone check)")
      ->type_name("FILE");
  app.add_flag("--list-devices", options.shouldListDevices, "List the sound card outputs and stop");
  app.add_option("--device", options.device,
                 "The output, by number (see --list-devices) or by part of its name")
      ->type_name("N|NAME");
  app.add_option("--latency", options.latency,
                 "Output latency: low, high (the device's defaults) or seconds; default high")
      ->type_name("low|high|SECONDS");
  app.add_option("--block", options.block, "Frames rendered per callback; default the scene's")
      ->type_name("FRAMES")
      ->check(CLI::Range(1, ORV_MAX_RENDER_FRAMES));
  app.add_option("--seconds", options.seconds,
                 "How long to play; default the scene's duration, two turns for --orbit")
      ->check(CLI::Range(1e-3, orvrender::kMaxDuration));
  app.add_option("--rate", options.sampleRate,
                 "Sampling rate in Hz; default the scene's, the device's for --orbit")
      ->type_name("HZ")
      ->check(CLI::Range(orvrender::kMinSampleRate, orvrender::kMaxSampleRate));
  app.add_option("--threads", options.threads, "Rendering threads; default the scene's")
      ->check(CLI::Range(1, orvrender::kMaxThreads));
  app.add_option("--library", options.library, "The liborv.so to load")->type_name("PATH");
  auto* scene = app.get_option("scene");
  auto* orbit = app.get_option("--orbit");
  scene->excludes(orbit);

  try {
    app.parse(argc, argv);
    if (!options.shouldListDevices && options.scene.empty() && options.orbit.empty())
      throw UsageError("give a scene to play, or --orbit FILE");
    LatencySeconds(options.latency, 0.0, 0.0);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "orv-play: %s\nTry 'orv-play --help'.\n", e.what());
    return 2;
  } catch (const UsageError& e) {
    std::fprintf(stderr, "orv-play: %s\nTry 'orv-play --help'.\n", e.what());
    return 2;
  }
  return std::nullopt;
}

double LatencySeconds(const std::string& latency, double low, double high) {
  if (latency == "low") return low;
  if (latency == "high") return high;
  char* end = nullptr;
  const double seconds = std::strtod(latency.c_str(), &end);
  // Ten seconds is far beyond any device's buffer; more is a mistake (ms for s).
  if (latency.empty() || *end != '\0' || !(seconds > 0.0 && seconds <= 10.0))
    throw UsageError("--latency " + latency +
                     ": expected low, high or seconds between 0 and 10 (such as 0.02)");
  return seconds;
}

}  // namespace orvplay
