#include "CommandLine.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string_view>

#include "JsonReader.h"
#include "Scene.h"
#include "UserError.h"
#include "orv/orv.h"

namespace orvrender {

namespace {

double ParseNumber(const std::string& option, const std::string& text, Range range) {
  errno = 0;
  char* end = nullptr;
  const double x = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(x))
    throw UsageError(option + ": expected a number, found '" + text + "'");
  if (!range.Contains(x))
    throw UsageError(option + ": " + text + " is out of range: it must be " + range.Describe());
  return x;
}

int ParseInteger(const std::string& option, const std::string& text, Range range) {
  const double x = ParseNumber(option, text, range);
  if (std::floor(x) != x)
    throw UsageError(option + ": expected a whole number, found '" + text + "'");
  return static_cast<int>(x);
}

}  // namespace

std::string HelpText() {
  return "Usage: orv-render SCENE.json -o OUT.wav [options]\n"
         "\n"
         "Renders a scene with the Orv library to a stereo sound file for headphones.\n"
         "The format follows OUT's extension: .wav (32-bit float), .flac (24-bit), .ogg,\n"
         ".aiff, .caf, .w64, .rf64, .au, .opus, .mp3.\n"
         "\n"
         "Options (each overrides the scene's own value):\n"
         "  -o, --output OUT     the file to write (required)\n"
         "  --rate HZ            output sampling rate\n"
         "  --threads N          rendering threads, the library's render thread included\n"
         "  --block FRAMES       frames per Render call: the timing grid of events\n"
         "  --seconds S          length of the output\n"
         "  --library PATH       the liborv.so to load\n"
         "  --quiet              no progress bar and no summary\n"
         "  -h, --help           this text\n"
         "  --version            the tool's version\n"
         "\n"
         "Exit status: 0 when the file was written, 1 when the scene, a sound, the output\n"
         "or the library failed, 2 for a wrong command line. On failure nothing is left\n"
         "at OUT.\n";
}

Options ParseCommandLine(int argc, const char* const* argv) {
  Options options;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool hasInlineValue = false;
    if (arg.rfind("--", 0) == 0) {
      const std::size_t equals = arg.find('=');
      if (equals != std::string::npos) {
        value = arg.substr(equals + 1);
        arg = arg.substr(0, equals);
        hasInlineValue = true;
      }
    }
    const auto takeValue = [&]() -> std::string {
      if (hasInlineValue) return value;
      if (i + 1 >= argc) throw UsageError(arg + ": missing its value");
      return argv[++i];
    };
    const auto noValue = [&]() {
      if (hasInlineValue) throw UsageError(arg + ": takes no value");
    };
    if (arg == "-o" || arg == "--output") {
      options.output = takeValue();
      if (options.output.empty()) throw UsageError(arg + ": the output path is empty");
    } else if (arg == "--rate") {
      options.sampleRate =
          ParseInteger(arg, takeValue(), Range::Between(kMinSampleRate, kMaxSampleRate));
    } else if (arg == "--threads") {
      options.threads = ParseInteger(arg, takeValue(), Range::Between(1, kMaxThreads));
    } else if (arg == "--block") {
      options.blockSize = ParseInteger(arg, takeValue(), Range::Between(1, ORV_MAX_RENDER_FRAMES));
    } else if (arg == "--seconds") {
      options.seconds = ParseNumber(arg, takeValue(), {0.0, kMaxDuration, true, false});
    } else if (arg == "--library") {
      options.library = takeValue();
      if (options.library.empty()) throw UsageError(arg + ": the library path is empty");
    } else if (arg == "--quiet" || arg == "-q") {
      noValue();
      options.isQuiet = true;
    } else if (arg == "-h" || arg == "--help") {
      noValue();
      options.shouldShowHelp = true;
    } else if (arg == "--version") {
      noValue();
      options.shouldShowVersion = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      throw UsageError("unknown option '" + arg + "'");
    } else {
      positional.push_back(arg);
    }
  }
  if (options.shouldShowHelp || options.shouldShowVersion) return options;
  if (positional.empty()) throw UsageError("no scene file given");
  if (positional.size() > 1)
    throw UsageError("more than one scene file given: '" + positional[1] + "'");
  options.scene = positional[0];
  if (options.output.empty()) throw UsageError("no output file given (-o OUT.wav)");
  return options;
}

}  // namespace orvrender
