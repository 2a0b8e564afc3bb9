#include "CommandLine.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "CliMistake.h"
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
    const std::string item =
        text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    const double value = ParseNumber(option, item);
    if (value < -90.0 || value > 90.0) {
      throw UsageError(
          Format("%s: elevation %s lies outside -90 .. 90 degrees", option.c_str(), item.c_str()));
    }
    values.push_back(value);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return values;
}

bool IsPowerOfTwo(int n) { return n > 0 && (n & (n - 1)) == 0; }

// Three ways to call the tool: the usage lines come first, then what it does.
class HelpFormat : public CLI::Formatter {
 public:
  std::string make_description(const CLI::App*) const override { return ""; }
  std::string make_usage(const CLI::App* app, std::string) const override {
    return Format(
               "Usage: %1$s [options] INPUT.sofa -o OUTPUT.orvhrtf\n"
               "       %1$s --list INPUT.sofa\n"
               "       %1$s --inspect FILE.orvhrtf\n\n",
               kProgramName) +
           app->get_description() + "\n";
  }
};

// Option values arrive as text and are checked after parsing, so that every
// message names the option and the allowed values the same way.
struct Texts {
  std::string input;
  std::vector<std::string> extraInputs;
  std::string output, rate, taps, fade, lead, elevations, azimuthStep, distance, peak;
  bool isExact = false, isQuiet = false, isList = false, isInspect = false;
};

std::unique_ptr<CLI::App> MakeApp(Texts& t) {
  auto app = std::make_unique<CLI::App>(
      "Converts head-related impulse responses from a SOFA file into an ORVHRTFD\n"
      "data set for Orv's binaural spatializer. The measured responses are used as\n"
      "they are, each with its own onset delay (the interaural time difference lives\n"
      "in it): band-limited resampling, one common leading delay removed, a fixed\n"
      "number of taps with a raised-cosine fade at the end, and one gain for the\n"
      "whole set. Only the right half of the circle (azimuth 0 to 180 degrees,\n"
      "clockwise seen from above) is written; the spatializer mirrors it for the left.",
      kProgramName);
  auto format = std::make_shared<HelpFormat>();
  format->column_width(25);
  format->label("OPTIONS", "options");
  app->formatter(format);
  // Unknown options and extra files are reported below in the tool's own words.
  app->allow_extras();
  app->option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app->set_help_flag("-h,--help", "show this text");
  app->set_version_flag("--version", std::string(kProgramVersion), "show the version");
  app->add_option("input", t.input, "the SOFA file, or with --inspect an ORVHRTFD file")
      ->type_name("INPUT");
  app->add_option("-o,--output", t.output, "write the data set to FILE (replaced only on success)")
      ->type_name("FILE");
  app->add_option("-r,--rate", t.rate,
                  "sampling rate of the written responses (default 48000);\n"
                  "the library resamples the set to the rate it renders at")
      ->type_name("HZ");
  app->add_option("-n,--taps", t.taps, "taps per response, a power of two >= 4 (default 128)")
      ->type_name("N");
  app->add_option("--fade", t.fade,
                  "raised-cosine fade over the last N taps, 0 .. taps\n"
                  "(default 8, at most half the taps)")
      ->type_name("N");
  app->add_option("--lead", t.lead,
                  "samples at the output rate (0 .. 65536) removed from the\n"
                  "start of every response alike, so interaural delays stay\n"
                  "intact; auto removes those below -50 dB of the peak in\n"
                  "every response (default auto)")
      ->type_name("N|auto");
  app->add_option("--elevations", t.elevations,
                  "comma-separated elevations of the rings to keep, as\n"
                  "--list shows them (default: every measured ring)")
      ->type_name("LIST");
  app->add_option("--azimuth-step", t.azimuthStep,
                  "keep in each ring the measured azimuths nearest to\n"
                  "0, DEG, 2*DEG, ... and 180; 0.01 .. 180 (default: all)")
      ->type_name("DEG");
  app->add_option("--distance", t.distance,
                  "use the measurements at this distance (default: the\n"
                  "distance with the most measurements)")
      ->type_name("METRES");
  app->add_flag("--exact-angles", t.isExact, "store the measured angles instead of whole degrees")
      ->disable_flag_override();
  app->add_option("--peak", t.peak,
                  "largest sample magnitude after scaling, 0 < P <= 1\n(default 1)")
      ->type_name("P");
  app->add_flag("-q,--quiet", t.isQuiet, "print nothing on success")->disable_flag_override();
  app->add_flag("--list", t.isList, "list the distances and rings measured in INPUT.sofa")
      ->disable_flag_override();
  app->add_flag("--inspect", t.isInspect,
                "check an ORVHRTFD file; print its rings, sample range\nand energy figures")
      ->disable_flag_override();
  app->footer(
      "Rings are the measured elevations; within a ring every measured azimuth of the\n"
      "right half is kept unless --azimuth-step thins it. Conversion prints the gain,\n"
      "the fraction of each response's energy the taps keep, and the left and right\n"
      "energies at elevation 0.\n"
      "\n"
      "Exit status: 0 on success, 1 when a file cannot be read, converted or written,\n"
      "2 for a wrong command line.");
  return app;
}

// CLI11's own texts, said the way the tool's other messages are.
[[noreturn]] void ThrowUsage(const CLI::ParseError& e) {
  const orvtools::CliMistake mistake = orvtools::ReadCliMistake(e);
  switch (mistake.kind) {
    case orvtools::CliMistake::Kind::kMissingValue:
      throw UsageError(Format("option %s needs a value", mistake.option.c_str()));
    case orvtools::CliMistake::Kind::kValueForFlag:
      throw UsageError(Format("option %s takes no value", mistake.option.c_str()));
    case orvtools::CliMistake::Kind::kOther: break;
  }
  throw UsageError(e.what());
}

}  // namespace

CommandLine ParseCommandLine(int argc, const char* const* argv) {
  CommandLine line;
  Texts t;
  const std::unique_ptr<CLI::App> app = MakeApp(t);
  try {
    app->parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    line.mode = Mode::Help;
    return line;
  } catch (const CLI::CallForVersion&) {
    line.mode = Mode::Version;
    return line;
  } catch (const CLI::ParseError& e) {
    ThrowUsage(e);
  }
  for (const std::string& extra : app->remaining()) {
    if (extra == "--") continue;
    if (extra.size() > 1 && extra[0] == '-')
      throw UsageError(Format("unknown option '%s'", extra.c_str()));
    t.extraInputs.push_back(extra);
  }
  const auto given = [&](const char* name) { return app->count(name) > 0; };
  bool hasBuildOption = false;
  const auto build = [&](const char* name) {
    hasBuildOption = hasBuildOption || given(name);
    return given(name);
  };

  if (given("--output") && t.output.empty()) throw UsageError("--output: the file name is empty");
  line.output = t.output;
  if (build("--rate")) {
    const double rate = ParseNumber("--rate", t.rate);
    if (rate < kMinRate || rate > kMaxRate) {
      throw UsageError(
          Format("--rate: %s Hz lies outside %.0f .. %.0f Hz", t.rate.c_str(), kMinRate, kMaxRate));
    }
    line.build.samplingRate = rate;
  }
  if (build("--taps")) {
    const int taps = ParseInteger("--taps", t.taps);
    if (!IsPowerOfTwo(taps) || taps < 4 || taps > kMaxTaps) {
      throw UsageError(
          Format("--taps: %s is not a power of two between 4 and %d", t.taps.c_str(), kMaxTaps));
    }
    line.build.tapCount = taps;
  }
  const bool hasFade = build("--fade");
  if (hasFade) line.build.fadeLength = ParseInteger("--fade", t.fade);
  if (build("--lead")) {
    if (t.lead == "auto") {
      line.build.lead = kAutomaticLead;
    } else {
      line.build.lead = ParseInteger("--lead", t.lead);
      if (line.build.lead < 0) {
        throw UsageError(
            Format("--lead: %s is negative; give a sample count or 'auto'", t.lead.c_str()));
      }
      if (line.build.lead > kMaxLead) {
        throw UsageError(
            Format("--lead: %s samples lies outside 0 .. %d; give a sample count or 'auto'",
                   t.lead.c_str(), kMaxLead));
      }
    }
  }
  if (build("--elevations")) line.build.elevations = ParseElevations("--elevations", t.elevations);
  if (build("--azimuth-step")) {
    const double step = ParseNumber("--azimuth-step", t.azimuthStep);
    if (!(step >= kMinAzimuthStep && step <= 180.0)) {
      throw UsageError(Format("--azimuth-step: %s degrees lies outside %g .. 180",
                              t.azimuthStep.c_str(), kMinAzimuthStep));
    }
    line.build.azimuthStep = step;
  }
  if (build("--distance")) {
    const double distance = ParseNumber("--distance", t.distance);
    if (!(distance > 0.0)) {
      throw UsageError(
          Format("--distance: %s metres is not a positive distance", t.distance.c_str()));
    }
    line.build.distance = distance;
  }
  if (build("--exact-angles")) line.build.shouldRoundAngles = false;
  if (build("--peak")) {
    const double peak = ParseNumber("--peak", t.peak);
    if (!(peak > 0.0 && peak <= 1.0))
      throw UsageError(Format("--peak: %s lies outside (0, 1]", t.peak.c_str()));
    line.build.peak = peak;
  }
  line.isQuiet = t.isQuiet;
  if (t.isList && t.isInspect) throw UsageError("--list and --inspect exclude each other");
  if (t.isList) line.mode = Mode::List;
  if (t.isInspect) line.mode = Mode::Inspect;

  if (hasFade && (line.build.fadeLength < 0 || line.build.fadeLength > line.build.tapCount)) {
    throw UsageError(Format("--fade: %d does not lie between 0 and the tap count %d",
                            line.build.fadeLength, line.build.tapCount));
  }
  if (!hasFade) line.build.fadeLength = std::min(line.build.fadeLength, line.build.tapCount / 2);

  if (!given("input")) throw UsageError("no input file given");
  if (!t.extraInputs.empty()) {
    throw UsageError(Format("more than one input file given ('%s' and '%s')", t.input.c_str(),
                            t.extraInputs[0].c_str()));
  }
  line.input = t.input;
  if (line.mode == Mode::Convert) {
    if (line.output.empty()) throw UsageError("no output file given; name it with -o FILE");
    if (line.output == line.input) {
      throw UsageError(Format("the output file '%s' is the input file", line.output.c_str()));
    }
  } else {
    const char* mode = line.mode == Mode::List ? "--list" : "--inspect";
    if (given("--output")) throw UsageError(Format("%s writes no file; drop -o", mode));
    if (hasBuildOption) throw UsageError(Format("%s takes no conversion options", mode));
  }
  return line;
}

std::string UsageText() {
  Texts texts;
  return MakeApp(texts)->help();
}

}  // namespace orvhrtf
