// orv-render's command line, parsed with CLI11.
#pragma once

#include <optional>
#include <string>

#include "OutputFile.h"

namespace orvrender {

struct Options {
  std::string scene;
  std::string output;
  std::string library;  // empty: DefaultLibraryPath()
  std::optional<double> sampleRate;
  std::optional<int> threads;
  std::optional<int> blockSize;
  std::optional<double> seconds;
  std::optional<SampleFormat> format;  // empty: by the output's extension
  bool isQuiet = false;
  bool shouldShowHelp = false;
  bool shouldShowVersion = false;
};

// Throws UsageError naming the option at fault.
Options ParseCommandLine(int argc, const char* const* argv);

std::string HelpText();

}  // namespace orvrender
