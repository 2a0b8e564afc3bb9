// The scene a user writes: what to render, from which sounds, heard from
// where, in which room, and when each sound plays. LoadScene reads and checks
// a JSON scene file completely before anything is rendered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Vec3.h"
#include "orv/orv.h"

namespace orvrender {

enum class SoundKind { File, Sine, Noise, Chirp, Clicks, Voice };
enum class NoiseColor { White, Pink, Brown };

// Shaping shared by every generator. Times in seconds, frequencies in Hz.
struct GeneratorShape {
  double duration = 1.0;
  double amplitude = 0.5;     // peak of the finished sound, before fades
  int channels = 1;           // 1 or 2
  double sampleRate = 0.0;    // 0: the scene's rate
  int bits = 32;              // 8, 16 or 32: how the buffer reaches the library
  double attack = 0.005;      // linear fade in
  double release = 0.005;     // linear fade out at the end
  double decay = 0.0;         // exponential decay time constant; 0: none
  double lowpass = 0.0;       // one-pole low-pass cutoff; 0: none
  double pan = 0.0;           // -1 left .. 1 right, for two channels
  double tremoloRate = 0.0;   // slow loudness swell
  double tremoloDepth = 0.0;  // 0..1
  std::uint32_t seed = 1;     // for everything random
};

struct SoundDefinition {
  std::string name;
  std::string path;        // JSON path, for messages
  std::size_t offset = 0;  // where it begins in the scene's text, for messages
  bool isComplete = true;  // read without mistakes
  SoundKind kind = SoundKind::File;
  std::string file;  // File: resolved against the scene's folder
  GeneratorShape shape;
  double frequency = 440.0;  // Sine
  NoiseColor color = NoiseColor::White;
  double startFrequency = 100.0;  // Chirp
  double endFrequency = 8000.0;
  bool isExponential = true;
  double interval = 0.5;       // Clicks: time between clicks
  double tone = 0.0;           // Clicks: ring frequency; 0: a noise click
  double alternateTone = 0.0;  // Clicks: every other click ("tock"); 0: same as tone
  double clickDecay = 0.003;   // Clicks: decay time constant of one click
  double pitch = 120.0;        // Voice: fundamental
  double syllableRate = 4.0;   // Voice: syllables per second
  std::string vowels = "aeiou";
};

enum class PlayMode { Local, Relative, World };

// Keyframes of one play, timed in seconds after the play starts: linear
// between keys, held before the first and after the last.
struct PositionKey {
  double time = 0.0;
  Vec3 position;
};
struct ValueKey {
  double time = 0.0;
  double value = 0.0;
};

struct EventDefinition {
  std::string path;
  std::size_t offset = 0;  // where it begins in the scene's text
  double time = 0.0;
  std::size_t sound = 0;  // index into Scene::sounds
  PlayMode mode = PlayMode::Local;
  Vec3 position;  // listener space (Relative) or world space (World)
  float volume = 1.0f;
  float speed = 1.0f;
  float referenceDistance = 1.0f;
  // Repetition: `count` plays (until the end of the scene when isUntilEnd),
  // each `interval` seconds after the previous and `step` further on.
  std::int64_t count = 1;
  bool isUntilEnd = false;
  double interval = 0.0;
  Vec3 step;
  // Keyframes replace position, volume and speed when given; every repeat
  // follows them from its own start (positions shifted by its step).
  std::vector<PositionKey> positions;
  std::vector<ValueKey> volumes;
  std::vector<ValueKey> speeds;
  bool isLooping = false;      // plays until stopped or the scene ends
  std::optional<double> stop;  // scene time its plays stop (a short fade)
};

struct ListenerKey {
  double time = 0.0;
  Vec3 position;
  Vec3 front{0.0, 0.0, -1.0};
  Vec3 up{0.0, 1.0, 0.0};
};

struct RoomKey {
  double time = 0.0;
  ReverbParam room{};
};

struct Scene {
  std::string file;    // as given on the command line
  std::string folder;  // relative sound files are found here
  double sampleRate = 48000.0;
  std::optional<double> duration;
  int blockSize = 512;
  int threads = 1;
  int polyphony = 64;
  double airAbsorption = 1.0;  // scale of the air absorption model
  std::vector<SoundDefinition> sounds;
  std::vector<ListenerKey> listener;
  std::vector<RoomKey> room;
  std::vector<EventDefinition> events;
};

// Limits shared by the scene file and the command line.
inline constexpr double kMinSampleRate = 8000.0;
inline constexpr double kMaxSampleRate = 384000.0;
inline constexpr double kMaxDuration = 24.0 * 3600.0;
inline constexpr int kMaxThreads = 64;
inline constexpr int kMaxPolyphony = 4096;
// Positions lie within 1000 km of the origin: far enough for any scene, and
// the library's float arithmetic on squared distances stays finite.
inline constexpr double kMaxCoordinate = 1.0e6;
// More plays than this are a mistake in the scene (an interval far too short).
inline constexpr std::int64_t kMaxPlays = 1000000;

// What the command line sets in place of the scene's own values.
struct SceneOverrides {
  std::optional<double> sampleRate;
  std::optional<int> threads;
  std::optional<int> blockSize;
  std::optional<double> duration;
};

// The room heard when a scene gives none: a small, fairly dry room.
ReverbParam DefaultRoom();

// Reads and checks a scene with the command line's values in place, its
// sound files included: everything that would make the render fail later
// fails here. Throws UserError listing every mistake in file order, each as
// "file:line:column: $.json.path: what" (at most 20, then "and N more").
Scene LoadScene(const std::string& file, const SceneOverrides& overrides = {});
// The same for a scene's text, without opening its sound files; file names
// it in messages and locates its sounds.
Scene ParseScene(const std::string& text, const std::string& file,
                 const SceneOverrides& overrides = {});

}  // namespace orvrender
