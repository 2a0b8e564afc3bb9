#include "CommandLine.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

#include "CliMistake.h"
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

// The usage line first, then what the tool does, as in most command-line tools.
class HelpFormat : public CLI::Formatter {
 public:
  std::string make_description(const CLI::App*) const override { return ""; }
  std::string make_usage(const CLI::App* app, std::string) const override {
    return "Usage: orv-render SCENE.json -o OUT.wav [options]\n\n" + app->get_description() + "\n";
  }
};

// Option values arrive as text and are checked here, so that every message
// names the option and the allowed range the same way.
struct Texts {
  std::string scene;
  std::vector<std::string> extraFiles;
  std::string output, rate, threads, block, seconds, format, library;
  bool isQuiet = false;
};

std::unique_ptr<CLI::App> MakeApp(Texts& t) {
  auto app = std::make_unique<CLI::App>(
      "Renders a scene with the Orv library to a stereo sound file for headphones.\n"
      "The format follows OUT's extension: .wav (32-bit float), .flac (24-bit), .ogg,\n"
      ".aiff, .caf, .w64, .rf64, .au, .opus, .mp3; --format changes the sample format.",
      "orv-render");
  auto format = std::make_shared<HelpFormat>();
  format->column_width(25);
  format->label("OPTIONS", "options");
  app->formatter(format);
  // Unknown options and extra files are reported below in the tool's own words.
  app->allow_extras();
  app->option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app->set_help_flag("-h,--help", "this text");
  app->set_version_flag("--version", std::string(ORV_RENDER_VERSION), "the tool's version");
  app->add_option("scene", t.scene, "the scene to render")->type_name("SCENE.json");
  app->add_option("-o,--output", t.output, "the file to write (required)")->type_name("OUT");
  app->add_option("--format", t.format,
                  "sample format: float (32-bit), pcm16 or pcm24\n(default: by the extension)")
      ->type_name("FORMAT");
  app->add_option("--rate", t.rate, "output sampling rate")->type_name("HZ");
  app->add_option("--threads", t.threads,
                  "rendering threads, the library's render thread\nincluded")
      ->type_name("N");
  app->add_option("--block", t.block, "frames per Render call: the timing grid of events")
      ->type_name("FRAMES");
  app->add_option("--seconds", t.seconds, "length of the output")->type_name("S");
  app->add_option("--library", t.library, "the liborv.so to load")->type_name("PATH");
  app->add_flag("-q,--quiet", t.isQuiet, "no progress bar and no summary")->disable_flag_override();
  app->footer(
      "--rate, --threads, --block and --seconds override the scene's own values.\n"
      "\n"
      "Exit status: 0 when the file was written, 1 when the scene, a sound, the output\n"
      "or the library failed, 2 for a wrong command line, 129, 130 or 143 when ended\n"
      "by SIGHUP, SIGINT or SIGTERM. On failure nothing is left at OUT.");
  return app;
}

// CLI11's own texts, said the way the tool's other messages are.
[[noreturn]] void ThrowUsage(const CLI::ParseError& e) {
  const orvtools::CliMistake mistake = orvtools::ReadCliMistake(e);
  switch (mistake.kind) {
    case orvtools::CliMistake::Kind::kMissingValue:
      throw UsageError(mistake.option + ": missing its value");
    case orvtools::CliMistake::Kind::kValueForFlag:
      throw UsageError(mistake.option + ": takes no value");
    case orvtools::CliMistake::Kind::kOther: break;
  }
  throw UsageError(e.what());
}

SampleFormat ParseFormat(const std::string& text) {
  if (text == "float") return SampleFormat::Float;
  if (text == "pcm16") return SampleFormat::Pcm16;
  if (text == "pcm24") return SampleFormat::Pcm24;
  throw UsageError("--format: '" + text + "' is not one of float, pcm16, pcm24");
}

}  // namespace

std::string HelpText() {
  Texts texts;
  return MakeApp(texts)->help();
}

Options ParseCommandLine(int argc, const char* const* argv) {
  Options options;
  Texts t;
  const std::unique_ptr<CLI::App> app = MakeApp(t);
  try {
    app->parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    options.shouldShowHelp = true;
    return options;
  } catch (const CLI::CallForVersion&) {
    options.shouldShowVersion = true;
    return options;
  } catch (const CLI::ParseError& e) {
    ThrowUsage(e);
  }
  for (const std::string& extra : app->remaining()) {
    if (extra == "--") continue;
    if (extra.size() > 1 && extra[0] == '-')
      throw UsageError("unknown option '" + extra.substr(0, extra.find('=')) + "'");
    t.extraFiles.push_back(extra);
  }
  const auto given = [&](const char* name) { return app->count(name) > 0; };
  if (given("--output") && t.output.empty()) throw UsageError("--output: the output path is empty");
  options.output = t.output;
  if (given("--rate"))
    options.sampleRate =
        ParseInteger("--rate", t.rate, Range::Between(kMinSampleRate, kMaxSampleRate));
  if (given("--threads"))
    options.threads = ParseInteger("--threads", t.threads, Range::Between(1, kMaxThreads));
  if (given("--block"))
    options.blockSize = ParseInteger("--block", t.block, Range::Between(1, ORV_MAX_RENDER_FRAMES));
  if (given("--seconds"))
    options.seconds = ParseNumber("--seconds", t.seconds, {0.0, kMaxDuration, true, false});
  if (given("--format")) options.format = ParseFormat(t.format);
  if (given("--library") && t.library.empty())
    throw UsageError("--library: the library path is empty");
  options.library = t.library;
  options.isQuiet = t.isQuiet;

  if (t.scene.empty() && !given("scene")) throw UsageError("no scene file given");
  if (!t.extraFiles.empty())
    throw UsageError("more than one scene file given: '" + t.extraFiles[0] + "'");
  options.scene = t.scene;
  if (options.output.empty()) throw UsageError("no output file given (-o OUT.wav)");
  return options;
}

}  // namespace orvrender
