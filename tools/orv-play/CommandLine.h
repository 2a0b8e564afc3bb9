// orv-play's command line, parsed with CLI11.
#pragma once

#include <optional>
#include <string>

namespace orvplay {

struct Options {
  std::string scene;  // a JSON scene, or
  std::string orbit;  // a sound file for the headphone check
  bool shouldListDevices = false;
  std::string device;            // empty: the default output
  std::string latency = "high";  // "low", "high" or seconds
  std::optional<int> block;
  std::optional<double> seconds;
  std::optional<double> sampleRate;
  std::optional<int> threads;
  std::string library;  // empty: DefaultLibraryPath()
};

// Fills options; returns an exit status when the run ends here (--help,
// --version, a mistake, reported on the way), else nothing.
std::optional<int> ParseCommandLine(int argc, char** argv, Options& options);

// The suggested latency in seconds for a device's low and high defaults.
// Throws UsageError.
double LatencySeconds(const std::string& latency, double low, double high);

}  // namespace orvplay
