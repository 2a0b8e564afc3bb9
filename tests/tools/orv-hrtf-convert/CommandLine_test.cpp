// Parsing the converter's command line: defaults, every option in both
// spellings, and a message naming the option for every bad value.
#include "CommandLine.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

namespace orvhrtf {
namespace {

CommandLine Parse(std::initializer_list<const char*> args) {
  std::vector<const char*> argv = {"orv-hrtf-convert"};
  argv.insert(argv.end(), args.begin(), args.end());
  return ParseCommandLine(int(argv.size()), argv.data());
}

void ExpectUsageError(std::initializer_list<const char*> args, const std::string& message) {
  try {
    Parse(args);
    ADD_FAILURE() << "accepted a command line that should fail with: " << message;
  } catch (const UsageError& error) {
    EXPECT_EQ(std::string(error.what()), message);
  }
}

TEST(CommandLine, DefaultsMakeTheCarriedSetShape) {
  const CommandLine line = Parse({"in.sofa", "-o", "out.orvhrtf"});
  EXPECT_EQ(line.mode, Mode::Convert);
  EXPECT_EQ(line.input, "in.sofa");
  EXPECT_EQ(line.output, "out.orvhrtf");
  EXPECT_FALSE(line.isQuiet);
  EXPECT_EQ(line.build.samplingRate, 48000.0);
  EXPECT_EQ(line.build.tapCount, 128);
  EXPECT_EQ(line.build.fadeLength, 8);
  EXPECT_EQ(line.build.lead, kAutomaticLead);
  EXPECT_TRUE(line.build.elevations.empty());
  EXPECT_EQ(line.build.azimuthStep, 0.0);
  EXPECT_EQ(line.build.distance, 0.0);
  EXPECT_TRUE(line.build.shouldRoundAngles);
  EXPECT_EQ(line.build.peak, 1.0);
}

TEST(CommandLine, ReadsEveryOptionInBothSpellings) {
  const CommandLine line =
      Parse({"--rate", "44100", "--taps=256", "--fade", "16", "--lead=12", "--elevations",
             "-40,0,90", "--azimuth-step=15", "--distance", "1.4", "--exact-angles", "--peak=0.9",
             "--quiet", "--output=x.orvhrtf", "in.sofa"});
  EXPECT_EQ(line.build.samplingRate, 44100.0);
  EXPECT_EQ(line.build.tapCount, 256);
  EXPECT_EQ(line.build.fadeLength, 16);
  EXPECT_EQ(line.build.lead, 12);
  EXPECT_EQ(line.build.elevations, (std::vector<double>{-40.0, 0.0, 90.0}));
  EXPECT_EQ(line.build.azimuthStep, 15.0);
  EXPECT_EQ(line.build.distance, 1.4);
  EXPECT_FALSE(line.build.shouldRoundAngles);
  EXPECT_EQ(line.build.peak, 0.9);
  EXPECT_TRUE(line.isQuiet);
  EXPECT_EQ(line.output, "x.orvhrtf");

  const CommandLine shortForms =
      Parse({"-r", "96000", "-n", "64", "-q", "-o", "y", "--", "-in.sofa"});
  EXPECT_EQ(shortForms.build.samplingRate, 96000.0);
  EXPECT_EQ(shortForms.build.tapCount, 64);
  EXPECT_TRUE(shortForms.isQuiet);
  EXPECT_EQ(shortForms.input, "-in.sofa");
  EXPECT_EQ(Parse({"--lead", "auto", "a", "-o", "b"}).build.lead, kAutomaticLead);
}

TEST(CommandLine, DefaultFadeShrinksWithFewTaps) {
  EXPECT_EQ(Parse({"a", "-o", "b", "--taps", "8"}).build.fadeLength, 4);
  EXPECT_EQ(Parse({"a", "-o", "b", "--taps", "8", "--fade", "8"}).build.fadeLength, 8);
  EXPECT_EQ(Parse({"a", "-o", "b", "--fade", "0"}).build.fadeLength, 0);
}

TEST(CommandLine, OtherModes) {
  EXPECT_EQ(Parse({"--help"}).mode, Mode::Help);
  EXPECT_EQ(Parse({"a", "-h", "--bogus"}).mode, Mode::Help);
  EXPECT_EQ(Parse({"--version"}).mode, Mode::Version);
  const CommandLine list = Parse({"--list", "in.sofa"});
  EXPECT_EQ(list.mode, Mode::List);
  EXPECT_EQ(list.input, "in.sofa");
  EXPECT_EQ(Parse({"--inspect", "set.orvhrtf"}).mode, Mode::Inspect);
  // The help comes from the parser itself, so every option is in it.
  const std::string help = UsageText();
  EXPECT_EQ(help.rfind("Usage: orv-hrtf-convert [options] INPUT.sofa -o OUTPUT.orvhrtf", 0), 0u);
  for (const char* option :
       {"-o,--output FILE", "-r,--rate HZ", "-n,--taps N", "--fade N", "--lead N|auto",
        "--elevations LIST", "--azimuth-step DEG", "--distance METRES", "--exact-angles",
        "--peak P", "-q,--quiet", "--list", "--inspect", "-h,--help", "--version", "Exit status"})
    EXPECT_NE(help.find(option), std::string::npos) << option << " missing from:\n" << help;
}

TEST(CommandLine, NamesTheOptionAndTheBadValue) {
  ExpectUsageError({"a", "-o", "b", "--taps", "100"},
                   "--taps: 100 is not a power of two between 4 and 1048576");
  ExpectUsageError({"a", "-o", "b", "--taps", "2"},
                   "--taps: 2 is not a power of two between 4 and 1048576");
  ExpectUsageError({"a", "-o", "b", "-n", "12x"}, "--taps: '12x' is not a whole number");
  ExpectUsageError({"a", "-o", "b", "--rate", "-5"},
                   "--rate: -5 Hz lies outside 1000 .. 1000000 Hz");
  ExpectUsageError({"a", "-o", "b", "--rate", "fast"}, "--rate: 'fast' is not a number");
  ExpectUsageError({"a", "-o", "b", "--rate", "nan"}, "--rate: 'nan' is not a number");
  ExpectUsageError({"a", "-o", "b", "--rate="}, "option --rate needs a value");
  ExpectUsageError({"a", "-o", "b", "--fade", "129"},
                   "--fade: 129 does not lie between 0 and the tap count 128");
  ExpectUsageError({"a", "-o", "b", "--taps", "64", "--fade", "-1"},
                   "--fade: -1 does not lie between 0 and the tap count 64");
  ExpectUsageError({"a", "-o", "b", "--lead", "-3"},
                   "--lead: -3 is negative; give a sample count or 'auto'");
  ExpectUsageError({"a", "-o", "b", "--lead", "soon"}, "--lead: 'soon' is not a whole number");
  ExpectUsageError({"a", "-o", "b", "--elevations", "0,,10"}, "--elevations: '' is not a number");
  ExpectUsageError({"a", "-o", "b", "--elevations", "0,95"},
                   "--elevations: elevation 95 lies outside -90 .. 90 degrees");
  ExpectUsageError({"a", "-o", "b", "--azimuth-step", "0"},
                   "--azimuth-step: 0 degrees lies outside 0.01 .. 180");
  // Values that would size the work beyond memory or time.
  ExpectUsageError({"a", "-o", "b", "--azimuth-step", "1e-300"},
                   "--azimuth-step: 1e-300 degrees lies outside 0.01 .. 180");
  ExpectUsageError(
      {"a", "-o", "b", "--lead", "10000000"},
      "--lead: 10000000 samples lies outside 0 .. 65536; give a sample count or 'auto'");
  ExpectUsageError({"a", "-o", "b", "--lead", "2147483647"},
                   "--lead: 2147483647 samples lies outside 0 .. 65536; give a sample count or "
                   "'auto'");
  ExpectUsageError({"a", "-o", "b", "--distance", "-1"},
                   "--distance: -1 metres is not a positive distance");
  ExpectUsageError({"a", "-o", "b", "--peak", "0"}, "--peak: 0 lies outside (0, 1]");
  ExpectUsageError({"a", "-o", "b", "--peak", "1.01"}, "--peak: 1.01 lies outside (0, 1]");
}

TEST(CommandLine, RefusesIncompleteOrContradictoryLines) {
  ExpectUsageError({}, "no input file given");
  ExpectUsageError({"a"}, "no output file given; name it with -o FILE");
  ExpectUsageError({"a", "b", "-o", "c"}, "more than one input file given ('a' and 'b')");
  ExpectUsageError({"a", "-o"}, "option --output needs a value");
  ExpectUsageError({"a", "-o", "b", "--taps"}, "option --taps needs a value");
  ExpectUsageError({"a", "-o", ""}, "--output: the file name is empty");
  ExpectUsageError({"a", "-o", "a"}, "the output file 'a' is the input file");
  ExpectUsageError({"a", "-o", "b", "--frobnicate"}, "unknown option '--frobnicate'");
  ExpectUsageError({"a", "-o", "b", "--quiet=yes"}, "option --quiet takes no value");
  ExpectUsageError({"--list", "a", "-o", "b"}, "--list writes no file; drop -o");
  ExpectUsageError({"--inspect", "a", "--taps", "64"}, "--inspect takes no conversion options");
  ExpectUsageError({"--inspect", "--list", "a"}, "--list and --inspect exclude each other");
}

}  // namespace
}  // namespace orvhrtf
