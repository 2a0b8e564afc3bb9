// orv-render as a user runs it: the example scenes render to files of the
// right length, level and balance; every user error gives its message and
// exit status and leaves nothing at the output path.
//
// The OrvRenderScenes tests need a library that plays voices and spatializes
// them; the OrvRenderErrors tests fail before the library renders anything,
// except LibraryErrorsAreReportedWithTheirEvent.
#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "RenderTestSupport.h"

namespace orvrendertest {
namespace {

// A source 90 degrees to one side reaches the far ear through the head's
// shadow: measured head-related responses put that ear 10-20 dB down over
// most of the band. 6 dB is a floor no working spatializer misses.
constexpr double kSideBalance = 2.0;
// A locally played stereo sound is not spatialized and sends nothing to the
// reverb, so a silent channel stays silent except for what the master stages
// mix across (the bass enhancer's 70 Hz band leaves a 440 Hz tone alone).
constexpr double kLocalSeparation = 100.0;

struct Rendered {
  ToolRun run;
  Sound sound;
};

Rendered Render(const TempFolder& folder, const std::string& scene,
                std::vector<std::string> options = {}) {
  Rendered r;
  const std::string out = folder / "out.wav";
  std::vector<std::string> args{scene, "-o", out};
  args.insert(args.end(), options.begin(), options.end());
  r.run = RunTool(args, folder);
  if (r.run.status == 0) r.sound = ReadSound(out);
  return r;
}

void ExpectCleanSound(const Sound& s, int rate, std::int64_t frames) {
  EXPECT_EQ(s.sampleRate, rate);
  EXPECT_EQ(s.channels, 2);
  EXPECT_EQ(s.frames, frames);
  std::int64_t bad = 0;
  for (float x : s.samples) bad += (!std::isfinite(x) || std::fabs(x) > 1.0f) ? 1 : 0;
  EXPECT_EQ(bad, 0) << "samples that are not finite or lie beyond +-1";
}

// --- Scenes ------------------------------------------------------------------

TEST(OrvRenderScenes, SourceOnTheRightIsLouderOnTheRight) {
  TempFolder folder;
  const Rendered r = Render(folder, ScenePath("tests_right.json"), {"--quiet"});
  ASSERT_EQ(r.run.status, 0) << r.run.err;
  ExpectCleanSound(r.sound, 48000, 72000);
  ASSERT_GT(r.sound.Rms(1), 0.0) << "the library rendered silence";
  EXPECT_GT(r.sound.Rms(1), kSideBalance * r.sound.Rms(0));
  EXPECT_EQ(r.run.out, "");  // --quiet
}

TEST(OrvRenderScenes, WorldPositionsFollowTheListenersTurn) {
  // +x is the listener's right while it looks down -z; after a half turn the
  // same world position is on its left.
  TempFolder folder;
  const auto scene = [&](const std::string& front) {
    const std::string path = folder / ("turn" + std::to_string(front.size()) + ".json");
    WriteText(path, R"({"duration": 1, "sounds": {"n": {"generator": "noise", "duration": 1}},
      "listener": [{"time": 0, "front": )" +
                        front + R"(}],
      "events": [{"time": 0, "sound": "n", "mode": "world", "position": [2, 0, 0]}]})");
    return path;
  };
  const Rendered ahead = Render(folder, scene("[0, 0, -1]"), {"--quiet"});
  ASSERT_EQ(ahead.run.status, 0) << ahead.run.err;
  const Rendered turned = Render(folder, scene("[0, 0, 1.0]"), {"--quiet"});
  ASSERT_EQ(turned.run.status, 0) << turned.run.err;
  ASSERT_GT(ahead.sound.Rms(0) + ahead.sound.Rms(1), 0.0) << "the library rendered silence";
  EXPECT_GT(ahead.sound.Rms(1), kSideBalance * ahead.sound.Rms(0));
  EXPECT_GT(turned.sound.Rms(0), kSideBalance * turned.sound.Rms(1));
}

TEST(OrvRenderScenes, LocalStereoKeepsItsChannels) {
  TempFolder folder;
  const Rendered r = Render(folder, ScenePath("tests_local.json"));
  ASSERT_EQ(r.run.status, 0) << r.run.err;
  ExpectCleanSound(r.sound, 48000, 48000);
  ASSERT_GT(r.sound.Rms(0), 0.0) << "the library rendered silence";
  EXPECT_GT(r.sound.Rms(0), kLocalSeparation * r.sound.Rms(1));
  EXPECT_NE(r.run.out.find("Voices       1 played (1 local, 0 relative, 0 world)"),
            std::string::npos)
      << r.run.out;
}

TEST(OrvRenderScenes, CommandLineOverridesRateLengthAndBlock) {
  TempFolder folder;
  // 0.75 s at 44.1 kHz is 33075 frames: not a whole number of 300-frame blocks.
  const Rendered r =
      Render(folder, ScenePath("tests_right.json"),
             {"--rate", "44100", "--seconds", "0.75", "--block", "300", "--threads", "2"});
  ASSERT_EQ(r.run.status, 0) << r.run.err;
  ExpectCleanSound(r.sound, 44100, 33075);
  EXPECT_NE(r.run.out.find("Duration     0.750 s (33075 frames)"), std::string::npos) << r.run.out;
  EXPECT_NE(r.run.out.find("2 threads, blocks of 300 frames"), std::string::npos) << r.run.out;
}

TEST(OrvRenderScenes, SummaryReportsLevelsVoicesSpeedAndLibrary) {
  TempFolder folder;
  const Rendered r = Render(folder, ScenePath("tests_right.json"));
  ASSERT_EQ(r.run.status, 0) << r.run.err;
  for (const char* part : {"Rendered ", "Duration     1.500 s (72000 frames)", "Left ", "Right",
                           "peak", "RMS", "Voices       1 played (0 local, 1 relative, 0 world)",
                           "x real time", "Library      ", "Library log  "})
    EXPECT_NE(r.run.out.find(part), std::string::npos) << part << " missing from:\n" << r.run.out;
  // No terminal: no progress bar.
  EXPECT_EQ(r.run.err.find('\r'), std::string::npos);
}

TEST(OrvRenderScenes, DemoSceneRendersEveryKindOfSound) {
  TempFolder folder;
  const Rendered r = Render(folder, ScenePath("demo.json"), {"--seconds", "8"});
  ASSERT_EQ(r.run.status, 0) << r.run.err;
  ExpectCleanSound(r.sound, 48000, 8 * 48000);
  // By 8 s: the clock, the ambience and the first footstep have started.
  EXPECT_NE(r.run.out.find("Voices       3 played (1 local, 0 relative, 2 world)"),
            std::string::npos)
      << r.run.out;
  EXPECT_GT(r.sound.Rms(0), 0.0);
  EXPECT_GT(r.sound.Rms(1), 0.0);
}

TEST(OrvRenderScenes, SoundFilesPlayInEveryFormatAndOutputFollowsTheExtension) {
  TempFolder folder;
  std::vector<float> tone;
  for (int i = 0; i < 8000; ++i) tone.push_back(0.5f * static_cast<float>(std::sin(i * 0.1)));
  WriteSound(folder / "u8.wav", tone, 1, 16000, SF_FORMAT_WAV | SF_FORMAT_PCM_U8);
  WriteSound(folder / "s16.flac", tone, 2, 22050, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
  WriteSound(folder / "f32.wav", tone, 1, 48000, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  WriteText(folder / "files.json", R"({"duration": 0.5, "sounds": {
      "a": {"file": "u8.wav"}, "b": {"file": "s16.flac"}, "c": {"file": "f32.wav"}},
    "events": [{"time": 0, "sound": "a", "mode": "local"},
               {"time": 0.1, "sound": "b", "mode": "relative", "position": [0, 0, 1]},
               {"time": 0.2, "sound": "c", "mode": "world", "position": [0, 0, -1]}]})");
  const ToolRun run = RunTool({folder / "files.json", "-o", folder / "out.flac"}, folder);
  ASSERT_EQ(run.status, 0) << run.err;
  const Sound s = ReadSound(folder / "out.flac");
  EXPECT_EQ(s.format, SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
  ExpectCleanSound(s, 48000, 24000);
  EXPECT_GT(s.Rms(0), 0.0);
  EXPECT_NE(run.out.find("3 played (1 local, 1 relative, 1 world)"), std::string::npos) << run.out;
}

TEST(OrvRenderScenes, ProgressBarOnlyOnATerminal) {
  TempFolder folder;
  const std::string scene = ScenePath("tests_local.json");
  const ToolRun shown = RunToolOnTerminal({scene, "-o", folder / "out.wav"}, folder);
  ASSERT_EQ(shown.status, 0) << shown.err;
  // The bar is redrawn in place and ends full, on its own line.
  EXPECT_NE(shown.err.find("\r\033[K["), std::string::npos) << shown.err;
  EXPECT_NE(shown.err.find("] 100%"), std::string::npos) << shown.err;
  EXPECT_NE(shown.out.find("Rendered "), std::string::npos);
  const ToolRun quiet = RunToolOnTerminal({scene, "-o", folder / "out.wav", "--quiet"}, folder);
  ASSERT_EQ(quiet.status, 0) << quiet.err;
  EXPECT_EQ(quiet.err, "");
  EXPECT_EQ(quiet.out, "");
}

std::int64_t Onset(const Sound& s) {
  for (std::int64_t i = 0; i < s.frames; ++i)
    if (std::fabs(s.samples[static_cast<std::size_t>(2 * i)]) > 1e-4f) return i;
  return -1;
}

TEST(OrvRenderScenes, PlaysStartOnTheirExactFrameAtAnyBlockSize) {
  // Whatever the library adds before the first sample (it is the same for
  // every play) cancels in the distance between two onsets.
  TempFolder folder;
  WriteText(folder / "onset.json", R"({"duration": 0.5,
    "sounds": {"c": {"generator": "sine", "frequency": 1000, "duration": 0.05, "attack": 0}},
    "events": [{"time": 0, "sound": "c", "mode": "local"},
               {"time": 0.3, "sound": "c", "mode": "local"}]})");
  for (int block : {64, 512, 1000}) {
    const ToolRun run =
        RunTool({folder / "onset.json", "-o", folder / "out.wav", "--block", std::to_string(block)},
                folder);
    ASSERT_EQ(run.status, 0) << run.err;
    Sound s = ReadSound(folder / "out.wav");
    const std::int64_t first = Onset(s);
    ASSERT_GE(first, 0);
    EXPECT_LT(first, 64) << "block " << block;
    // Local sounds send nothing to the reverb: past the first tone all is
    // silence until the second.
    for (std::int64_t i = 0; i < 12000; ++i) s.samples[2 * i] = 0.0f;
    EXPECT_EQ(Onset(s) - first, 14400) << "block " << block;
  }
}

// RMS of one channel over [from, to) seconds.
double WindowRms(const Sound& s, int channel, double from, double to) {
  const auto begin = static_cast<std::int64_t>(from * s.sampleRate);
  const auto end = static_cast<std::int64_t>(to * s.sampleRate);
  double sum = 0.0;
  for (std::int64_t i = begin; i < end; ++i) {
    const double x = s.samples[static_cast<std::size_t>(2 * i + channel)];
    sum += x * x;
  }
  return std::sqrt(sum / static_cast<double>(end - begin));
}

TEST(OrvRenderScenes, ALoopPlaysOnUntilItsStopAndIsSilentWithinTenMilliseconds) {
  // 12.3 ms of tone: no whole number of 480-frame blocks. The stop at 0.4 s
  // falls on a block boundary (frame 19200), so it applies there exactly.
  constexpr double kSilence = 1e-4;     // -80 dBFS
  constexpr double kSteadyLevel = 1.1;  // 0.8 dB: the loop neither fades nor gaps
  TempFolder folder;
  WriteText(folder / "loop.json", R"({"duration": 0.6, "blockSize": 480,
    "sounds": {"t": {"generator": "sine", "frequency": 1000, "duration": 0.0123,
                     "attack": 0, "release": 0}},
    "events": [{"time": 0, "sound": "t", "mode": "local", "loop": true, "stop": 0.4}]})");
  const Rendered r = Render(folder, folder / "loop.json");
  ASSERT_EQ(r.run.status, 0) << r.run.err;
  const double early = WindowRms(r.sound, 0, 0.05, 0.1);
  const double late = WindowRms(r.sound, 0, 0.34, 0.39);
  ASSERT_GT(early, 0.01);
  EXPECT_LT(std::max(early, late) / std::min(early, late), kSteadyLevel);
  double after = 0.0;
  for (std::int64_t i = 19200 + 480; i < r.sound.frames; ++i)
    after = std::max<double>(after, std::fabs(r.sound.samples[static_cast<std::size_t>(2 * i)]));
  EXPECT_LT(after, kSilence);
}

TEST(OrvRenderScenes, AnApproachingSourceIsHeardHigherByTheDopplerShift) {
  // 34.33 m/s toward the listener, a tenth of the speed of sound:
  // 1 kHz x 343.3 / (343.3 - 34.33) = 1111.1 Hz. The reference distance
  // keeps the level up all the way.
  constexpr double kExpected = 1000.0 * 343.3 / (343.3 - 34.33);
  constexpr double kTolerance = 0.005 * kExpected;
  TempFolder folder;
  WriteText(folder / "doppler.json", R"({"duration": 1.6,
    "sounds": {"t": {"generator": "sine", "frequency": 1000, "duration": 2}},
    "events": [{"time": 0, "sound": "t", "mode": "relative", "referenceDistance": 10000,
                "positions": [{"time": 0, "position": [0, 0, -80]},
                              {"time": 2, "position": [0, 0, -11.34]}]}]})");
  const Rendered r = Render(folder, folder / "doppler.json");
  ASSERT_EQ(r.run.status, 0) << r.run.err;
  // Upward zero crossings over 0.5 .. 1.5 s, located between samples.
  double firstCrossing = -1.0, lastCrossing = 0.0;
  int cycles = -1;
  for (std::int64_t i = 24000; i < 72000; ++i) {
    const double a = r.sound.samples[static_cast<std::size_t>(2 * i)];
    const double b = r.sound.samples[static_cast<std::size_t>(2 * i + 2)];
    if (a < 0.0 && b >= 0.0) {
      lastCrossing = static_cast<double>(i) + a / (a - b);
      if (firstCrossing < 0.0) firstCrossing = lastCrossing;
      ++cycles;
    }
  }
  ASSERT_GT(cycles, 0);
  EXPECT_NEAR(cycles * r.sound.sampleRate / (lastCrossing - firstCrossing), kExpected, kTolerance);
}

TEST(OrvRenderScenes, RendersAreBitIdenticalAcrossRunsAndThreadCounts) {
  // Moving, looping, stopped and keyframed sounds, plays in every space and
  // repeats, all on one scene: twice with one thread and once with three.
  TempFolder folder;
  WriteText(folder / "busy.json", R"({"duration": 1.2, "blockSize": 256, "polyphony": 8,
    "sounds": {"hum": {"generator": "clicks", "duration": 0.31, "interval": 0.01, "tone": 600},
               "tick": {"generator": "noise", "duration": 0.05, "decay": 0.01},
               "pad": {"generator": "noise", "color": "pink", "channels": 2, "duration": 0.27}},
    "events": [
      {"time": 0.1, "sound": "hum", "mode": "world", "loop": true, "stop": 0.95,
       "positions": [{"time": 0, "position": [-20, 0, -3]}, {"time": 0.8, "position": [20, 0, -3]}]},
      {"time": 0, "sound": "pad", "mode": "local", "loop": true, "stop": 1.1,
       "volumes": [{"time": 0, "volume": 0}, {"time": 0.3, "volume": 0.5}]},
      {"time": 0.05, "sound": "tick", "mode": "relative", "position": [1, 0, 0],
       "speeds": [{"time": 0, "speed": 1}, {"time": 0.05, "speed": 1.5}],
       "repeat": {"interval": 0.07, "step": [0, 0, -0.2]}, "stop": 1.0},
      {"time": 0.333, "sound": "tick", "mode": "world", "position": [0, 1, 2]}]})");
  std::vector<std::string> files;
  for (const char* threads : {"1", "3", "1"}) {
    const std::string out = folder / ("out" + std::to_string(files.size()) + ".wav");
    const ToolRun run = RunTool({folder / "busy.json", "-o", out, "--threads", threads}, folder);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("Library log  none"), std::string::npos) << run.out;
    files.push_back(ReadText(out));
  }
  ASSERT_GT(files[0].size(), 1000u);
  EXPECT_GT(ReadSound(folder / "out0.wav").Rms(0), 1e-3);
  EXPECT_TRUE(files[1] == files[0]) << "three threads differ from one";
  EXPECT_TRUE(files[2] == files[0]) << "a second run differs from the first";
}

// --- Errors ------------------------------------------------------------------

// Runs a failing command and checks its status, that every part appears in
// its message, and that nothing was left behind beside the output.
void ExpectFailure(const TempFolder& folder, const std::vector<std::string>& args, int status,
                   const std::vector<std::string>& parts) {
  const std::vector<std::string> before = folder.List();
  const ToolRun run = RunTool(args, folder);
  EXPECT_EQ(run.status, status) << run.err;
  EXPECT_EQ(run.err.rfind("orv-render: ", 0), 0u) << run.err;
  for (const std::string& part : parts)
    EXPECT_NE(run.err.find(part), std::string::npos) << "'" << part << "' not in:\n" << run.err;
  EXPECT_EQ(folder.List(), before) << "files were left behind";
}

std::string ErrorScene(const TempFolder& folder, const std::string& text) {
  WriteText(folder / "scene.json", text);
  return folder / "scene.json";
}

TEST(OrvRenderErrors, MissingSceneFile) {
  TempFolder folder;
  ExpectFailure(folder, {folder / "nothere.json", "-o", folder / "out.wav"}, 1,
                {"cannot open the scene", "nothere.json", "No such file or directory"});
}

TEST(OrvRenderErrors, JsonSyntaxErrorGivesLineAndColumn) {
  TempFolder folder;
  const std::string scene = ErrorScene(folder, "{\n  \"duration\": 1,\n  \"events\": [}\n}\n");
  ExpectFailure(folder, {scene, "-o", folder / "out.wav"}, 1,
                {"scene.json:3:14: JSON syntax error at line 3, column 14"});
}

TEST(OrvRenderErrors, UnknownKeyGivesItsPath) {
  TempFolder folder;
  const std::string scene = ErrorScene(folder, R"({"duration": 1,
    "sounds": {"s": {"generator": "sine", "duration": 1}},
    "events": [{"time": 0, "sound": "s", "mode": "local", "volme": 0.5}]})");
  ExpectFailure(folder, {scene, "-o", folder / "out.wav"}, 1,
                {"scene.json:3:59: $.events[0].volme: unknown key; did you mean 'volume'?"});
}

TEST(OrvRenderErrors, ValueOutOfRangeGivesItsPathAndRange) {
  TempFolder folder;
  const std::string scene = ErrorScene(folder, R"({"duration": 1, "sampleRate": 1000})");
  ExpectFailure(folder, {scene, "-o", folder / "out.wav"}, 1,
                {"$.sampleRate: 1000 is out of range: it must be between 8000 and 384000"});
}

TEST(OrvRenderErrors, MissingAndUnreadableSoundFiles) {
  TempFolder folder;
  const std::string missing =
      ErrorScene(folder, R"({"duration": 1, "sounds": {"s": {"file": "gone.wav"}}})");
  ExpectFailure(
      folder, {missing, "-o", folder / "out.wav"}, 1,
      {"$.sounds.s.file", "gone.wav", "cannot open the sound: No such file or directory"});
  WriteText(folder / "text.wav", "not a sound");
  const std::string unreadable =
      ErrorScene(folder, R"({"duration": 1, "sounds": {"s": {"file": "text.wav"}}})");
  ExpectFailure(folder, {unreadable, "-o", folder / "out.wav"}, 1,
                {"$.sounds.s.file", "text.wav", "cannot read the sound"});
}

TEST(OrvRenderErrors, MissingDurationAndUnknownOutputFormat) {
  TempFolder folder;
  const std::string scene = ErrorScene(folder, R"({"sampleRate": 48000})");
  ExpectFailure(folder, {scene, "-o", folder / "out.wav"}, 1,
                {"$.duration: missing; give the scene a duration or use --seconds"});
  ExpectFailure(folder, {scene, "--seconds", "1", "-o", folder / "out.mid"}, 1,
                {"cannot tell the sound format from the extension '.mid'"});
}

TEST(OrvRenderErrors, CommandLineMistakesExitWithStatusTwo) {
  TempFolder folder;
  const std::string scene = ErrorScene(folder, R"({"duration": 1})");
  ExpectFailure(folder, {scene}, 2, {"no output file given", "Try 'orv-render --help'."});
  ExpectFailure(folder, {scene, "-o", folder / "out.wav", "--threads", "0"}, 2,
                {"--threads: 0 is out of range: it must be between 1 and 64"});
  ExpectFailure(folder, {scene, "-o", folder / "out.wav", "--frobnicate"}, 2,
                {"unknown option '--frobnicate'"});
  ExpectFailure(folder, {scene, "-o", folder / "out.wav", "--seconds"}, 2,
                {"--seconds: missing its value"});
}

TEST(OrvRenderErrors, LibraryThatCannotBeLoaded) {
  TempFolder folder;
  const std::string scene = ErrorScene(folder, R"({"duration": 1})");
  ExpectFailure(folder, {scene, "-o", folder / "out.wav", "--library", folder / "liborv.so"}, 1,
                {"cannot load the Orv library", "liborv.so"});
  ExpectFailure(folder, {scene, "-o", folder / "out.wav", "--library", "libm.so.6"}, 1,
                {"'libm.so.6' is not an Orv library: it does not export OrvInitialize"});
}

TEST(OrvRenderErrors, EveryMistakeIsReportedOnceInFileOrder) {
  // Sections out of their usual order, a duplicate key, mistakes the library
  // would meet only half-way through the render (speed 0 at 0.5 s, a missing
  // sound file) and one that only the duration shows (a repeat that walks
  // out of range; the duration given last counts): all reported at load,
  // before anything is written.
  TempFolder folder;
  const std::string scene = ErrorScene(folder, R"({
  "events": [
    {"time": 0.5, "sound": "s", "mode": "local", "speed": 0},
    {"time": 0, "sound": "s", "mode": "world", "position": [0, 0, 0],
     "repeat": {"interval": 0.01, "step": [100000, 0, 0]}}
  ],
  "duration": 1,
  "sounds": {"s": {"generator": "sine", "duration": 0.1}, "f": {"file": "gone.wav"}},
  "duration": 2
})");
  WriteText(folder / "out.wav", "an older render");
  const ToolRun run = RunTool({scene, "-o", folder / "out.wav"}, folder);
  EXPECT_EQ(run.status, 1) << run.err;
  const std::vector<std::string> expected{
      "scene.json:3:59: $.events[0].speed: 0 is out of range",
      "scene.json:4:5: $.events[1]: play 200 of the repeat lies at 19900000 m",
      "scene.json:8:64: $.sounds.f.file: '",
      "scene.json:9:3: $.duration: the key is given twice, first at line 7, column 3"};
  std::size_t at = 0;
  for (const std::string& line : expected) {
    const std::size_t found = run.err.find(line, at);
    EXPECT_NE(found, std::string::npos) << "'" << line << "' not next in:\n" << run.err;
    if (found != std::string::npos) at = found;
  }
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 4) << run.err;
  EXPECT_EQ(ReadText(folder / "out.wav"), "an older render");
}

TEST(OrvRenderScenes, FormatOptionChoosesTheSampleFormat) {
  TempFolder folder;
  const std::string scene = ScenePath("tests_local.json");
  struct Case {
    const char* name;
    const char* format;
    int expected;
  };
  for (const Case& c : {Case{"a.wav", "pcm16", SF_FORMAT_WAV | SF_FORMAT_PCM_16},
                        Case{"b.aiff", "pcm24", SF_FORMAT_AIFF | SF_FORMAT_PCM_24},
                        Case{"c.flac", "pcm16", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
                        Case{"d.wav", "float", SF_FORMAT_WAV | SF_FORMAT_FLOAT}}) {
    const ToolRun run = RunTool({scene, "-o", folder / c.name, "--format", c.format}, folder);
    ASSERT_EQ(run.status, 0) << run.err;
    const Sound s = ReadSound(folder / c.name);
    EXPECT_EQ(s.format, c.expected) << c.name << " as " << c.format;
    ExpectCleanSound(s, 48000, 48000);
    EXPECT_GT(s.Rms(0), 0.0) << c.name;
  }
  ExpectFailure(folder, {scene, "-o", folder / "e.flac", "--format", "float"}, 1,
                {"'" + folder / "e.flac" + "': FLAC", "cannot hold 32 bit float samples"});
  ExpectFailure(folder, {scene, "-o", folder / "f.wav", "--format", "pcm8"}, 2,
                {"--format: 'pcm8' is not one of float, pcm16, pcm24"});
}

TEST(OrvRenderErrors, SignalsEndTheRenderAndLeaveNothingBehind) {
  // Each signal arrives while the tool writes its temporary file; the render
  // stops at the next block, the temporary file goes, an older file stays,
  // and the exit status is the shell's 128 + the signal's number.
  TempFolder folder;
  WriteText(folder / "long.json", R"({"duration": 3600, "blockSize": 64,
    "sounds": {"n": {"generator": "noise", "duration": 1}},
    "events": [{"time": 0, "sound": "n", "mode": "relative", "position": [1, 0, 0],
                "repeat": {"interval": 1}}]})");
  WriteText(folder / "out.wav", "an older render");
  for (const int signal : {SIGHUP, SIGINT, SIGTERM}) {
    const pid_t pid = StartTool({folder / "long.json", "-o", folder / "out.wav"}, folder);
    ASSERT_GT(pid, 0);
    // The temporary file's appearance says the render has begun.
    const auto isRendering = [&] {
      for (const std::string& name : folder.List())
        if (name.find(".orv-render-") != std::string::npos) return true;
      return false;
    };
    for (int i = 0; i < 1000 && !isRendering(); ++i) usleep(10000);
    ASSERT_TRUE(isRendering()) << "the render did not start";
    kill(pid, signal);
    const ToolRun run = FinishTool(pid, folder);
    EXPECT_EQ(run.status, 128 + signal) << run.err;
    EXPECT_NE(run.err.find("interrupted; nothing was written"), std::string::npos) << run.err;
    EXPECT_EQ(folder.List(), (std::vector<std::string>{"long.json", "out.wav"})) << signal;
    EXPECT_EQ(ReadText(folder / "out.wav"), "an older render");
  }
}

}  // namespace
}  // namespace orvrendertest
