#include "CommandLine.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Text.h"

namespace orvhrtf {

namespace {

constexpr double kMinRate = 1000.0;
constexpr double kMaxRate = 1000000.0;
constexpr int kMaxTaps = 1 << 20;

double ParseNumber(const std::string& option, const std::string& text) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(begin, &end);
  if (text.empty() || end == begin || *end != '\0' || errno == ERANGE || !std::isfinite(value)) {
    throw UsageError(Format("%s: '%s' is not a number", option.c_str(), text.c_str()));
  }
  return value;
}

int ParseInteger(const std::string& option, const std::string& text) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(begin, &end, 10);
  if (text.empty() || end == begin || *end != '\0' || errno == ERANGE || value < INT_MIN ||
      value > INT_MAX) {
    throw UsageError(Format("%s: '%s' is not a whole number", option.c_str(), text.c_str()));
  }
  return int(value);
}

std::vector<double> ParseElevations(const std::string& option, const std::string& text) {
  std::vector<double> values;
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = text.find(',', start);
    const std::string item = text.substr(start, comma == std::string::npos ? std::string::npos
                                                                           : comma - start);
    const double value = ParseNumber(option, item);
    if (value < -90.0 || value > 90.0) {
      throw UsageError(Format("%s: elevation %s lies outside -90 .. 90 degrees", option.c_str(),
                              item.c_str()));
    }
    values.push_back(value);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return values;
}

bool IsPowerOfTwo(int n) { return n > 0 && (n & (n - 1)) == 0; }

}  // namespace

CommandLine ParseCommandLine(int argc, const char* const* argv) {
  CommandLine line;
  std::vector<std::string> positional;
  bool hasFade = false;
  bool onlyPositional = false;
  bool hasBuildOption = false;

  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (onlyPositional || arg.empty() || arg[0] != '-' || arg == "-") {
      positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      onlyPositional = true;
      continue;
    }
    std::string name = arg;
    std::string value;
    bool hasValue = false;
    if (arg.rfind("--", 0) == 0) {
      const std::size_t equals = arg.find('=');
      if (equals != std::string::npos) {
        name = arg.substr(0, equals);
        value = arg.substr(equals + 1);
        hasValue = true;
      }
    }
    auto takeValue = [&]() -> std::string {
      if (hasValue) return value;
      if (i + 1 >= argc) throw UsageError(Format("option %s needs a value", name.c_str()));
      return argv[++i];
    };
    auto noValue = [&]() {
      if (hasValue) throw UsageError(Format("option %s takes no value", name.c_str()));
    };

    if (name == "-h" || name == "--help") {
      noValue();
      line.mode = Mode::Help;
      return line;
    } else if (name == "--version") {
      noValue();
      line.mode = Mode::Version;
      return line;
    } else if (name == "-o" || name == "--output") {
      line.output = takeValue();
      if (line.output.empty()) throw UsageError(Format("%s: the file name is empty", name.c_str()));
    } else if (name == "-r" || name == "--rate") {
      const std::string text = takeValue();
      const double rate = ParseNumber(name, text);
      if (rate < kMinRate || rate > kMaxRate) {
        throw UsageError(Format("%s: %s Hz lies outside %.0f .. %.0f Hz", name.c_str(), text.c_str(),
                                kMinRate, kMaxRate));
      }
      line.build.samplingRate = rate;
      hasBuildOption = true;
    } else if (name == "-n" || name == "--taps") {
      const std::string text = takeValue();
      const int taps = ParseInteger(name, text);
      if (!IsPowerOfTwo(taps) || taps < 4 || taps > kMaxTaps) {
        throw UsageError(Format("%s: %s is not a power of two between 4 and %d", name.c_str(),
                                text.c_str(), kMaxTaps));
      }
      line.build.tapCount = taps;
      hasBuildOption = true;
    } else if (name == "--fade") {
      line.build.fadeLength = ParseInteger(name, takeValue());
      hasFade = true;
      hasBuildOption = true;
    } else if (name == "--lead") {
      const std::string text = takeValue();
      if (text == "auto") {
        line.build.lead = kAutomaticLead;
      } else {
        line.build.lead = ParseInteger(name, text);
        if (line.build.lead < 0) {
          throw UsageError(Format("%s: %s is negative; give a sample count or 'auto'",
                                  name.c_str(), text.c_str()));
        }
        if (line.build.lead > kMaxLead) {
          throw UsageError(Format("%s: %s samples lies outside 0 .. %d; give a sample count or "
                                  "'auto'",
                                  name.c_str(), text.c_str(), kMaxLead));
        }
      }
      hasBuildOption = true;
    } else if (name == "--elevations") {
      line.build.elevations = ParseElevations(name, takeValue());
      hasBuildOption = true;
    } else if (name == "--azimuth-step") {
      const std::string text = takeValue();
      const double step = ParseNumber(name, text);
      if (!(step >= kMinAzimuthStep && step <= 180.0)) {
        throw UsageError(Format("%s: %s degrees lies outside %g .. 180", name.c_str(), text.c_str(),
                                kMinAzimuthStep));
      }
      line.build.azimuthStep = step;
      hasBuildOption = true;
    } else if (name == "--distance") {
      const std::string text = takeValue();
      const double distance = ParseNumber(name, text);
      if (!(distance > 0.0)) {
        throw UsageError(Format("%s: %s metres is not a positive distance", name.c_str(),
                                text.c_str()));
      }
      line.build.distance = distance;
      hasBuildOption = true;
    } else if (name == "--exact-angles") {
      noValue();
      line.build.shouldRoundAngles = false;
      hasBuildOption = true;
    } else if (name == "--peak") {
      const std::string text = takeValue();
      const double peak = ParseNumber(name, text);
      if (!(peak > 0.0 && peak <= 1.0)) {
        throw UsageError(Format("%s: %s lies outside (0, 1]", name.c_str(), text.c_str()));
      }
      line.build.peak = peak;
      hasBuildOption = true;
    } else if (name == "-q" || name == "--quiet") {
      noValue();
      line.isQuiet = true;
    } else if (name == "--list") {
      noValue();
      line.mode = Mode::List;
    } else if (name == "--inspect") {
      noValue();
      line.mode = Mode::Inspect;
    } else {
      throw UsageError(Format("unknown option '%s'", arg.c_str()));
    }
  }

  if (hasFade && (line.build.fadeLength < 0 || line.build.fadeLength > line.build.tapCount)) {
    throw UsageError(Format("--fade: %d does not lie between 0 and the tap count %d",
                            line.build.fadeLength, line.build.tapCount));
  }
  if (!hasFade) line.build.fadeLength = std::min(line.build.fadeLength, line.build.tapCount / 2);

  if (positional.empty()) throw UsageError("no input file given");
  if (positional.size() > 1) {
    throw UsageError(Format("more than one input file given ('%s' and '%s')",
                            positional[0].c_str(), positional[1].c_str()));
  }
  line.input = positional[0];
  if (line.mode == Mode::Convert) {
    if (line.output.empty()) throw UsageError("no output file given; name it with -o FILE");
    if (line.output == line.input) {
      throw UsageError(Format("the output file '%s' is the input file", line.output.c_str()));
    }
  } else {
    const char* mode = line.mode == Mode::List ? "--list" : "--inspect";
    if (!line.output.empty()) throw UsageError(Format("%s writes no file; drop -o", mode));
    if (hasBuildOption) throw UsageError(Format("%s takes no conversion options", mode));
  }
  return line;
}

std::string UsageText() {
  return Format(
      "Usage: %1$s [options] INPUT.sofa -o OUTPUT.orvhrtf\n"
      "       %1$s --list INPUT.sofa\n"
      "       %1$s --inspect FILE.orvhrtf\n"
      "\n"
      "Converts head-related impulse responses from a SOFA file into an ORVHRTFD\n"
      "data set for Orv's binaural spatializer. The measured responses are used as\n"
      "they are, each with its own onset delay (the interaural time difference lives\n"
      "in it): band-limited resampling, one common leading delay removed, a fixed\n"
      "number of taps with a raised-cosine fade at the end, and one gain for the\n"
      "whole set. Only the right half of the circle (azimuth 0 to 180 degrees,\n"
      "clockwise seen from above) is written; the spatializer mirrors it for the left.\n"
      "\n"
      "Options:\n"
      "  -o, --output FILE      write the data set to FILE (replaced only on success)\n"
      "  -r, --rate HZ          sampling rate of the written responses (default 48000);\n"
      "                         it must equal the rate the engine renders at\n"
      "  -n, --taps N           taps per response, a power of two >= 4 (default 128)\n"
      "      --fade N           raised-cosine fade over the last N taps, 0 .. taps\n"
      "                         (default 8, at most half the taps)\n"
      "      --lead N|auto      samples at the output rate (0 .. 65536) removed from the\n"
      "                         start of every response alike, so interaural delays stay\n"
      "                         intact;\n"
      "                         auto removes those below -50 dB of the peak in every\n"
      "                         response (default auto)\n"
      "      --elevations LIST  comma-separated elevations of the rings to keep, as\n"
      "                         --list shows them (default: every measured ring)\n"
      "      --azimuth-step DEG keep in each ring the measured azimuths nearest to\n"
      "                         0, DEG, 2*DEG, ... and 180; 0.01 .. 180 (default: all)\n"
      "      --distance METRES  use the measurements at this distance (default: the\n"
      "                         distance with the most measurements)\n"
      "      --exact-angles     store the measured angles instead of whole degrees\n"
      "      --peak P           largest sample magnitude after scaling, 0 < P <= 1\n"
      "                         (default 1)\n"
      "  -q, --quiet            print nothing on success\n"
      "      --list             list the distances and rings measured in INPUT.sofa\n"
      "      --inspect          check an ORVHRTFD file; print its rings, sample range\n"
      "                         and energy figures\n"
      "  -h, --help             show this text\n"
      "      --version          show the version\n"
      "\n"
      "Rings are the measured elevations; within a ring every measured azimuth of the\n"
      "right half is kept unless --azimuth-step thins it. Conversion prints the gain,\n"
      "the fraction of each response's energy the taps keep, and the left and right\n"
      "energies at elevation 0.\n"
      "\n"
      "Exit status: 0 on success, 1 when a file cannot be read, converted or written,\n"
      "2 for a wrong command line.\n",
      kProgramName);
}

}  // namespace orvhrtf
