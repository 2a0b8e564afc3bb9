// Command line of orv-hrtf-convert: parsing and checking every option value
// before any file is touched.
#pragma once

#include <stdexcept>
#include <string>

#include "HrtfBuilder.h"

namespace orvhrtf {

// A command line that cannot be run; the text names the option and the value.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class Mode { Convert, List, Inspect, Help, Version };

struct CommandLine {
  Mode mode = Mode::Convert;
  std::string input;
  std::string output;
  bool isQuiet = false;
  BuildOptions build;
};

// argv[0] is the program name. Throws UsageError.
CommandLine ParseCommandLine(int argc, const char* const* argv);

std::string UsageText();

inline constexpr const char* kProgramName = "orv-hrtf-convert";
inline constexpr const char* kProgramVersion = "1.0";

}  // namespace orvhrtf
