#include "Orbit.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <vector>

namespace orvplay {

using namespace orvrender;

namespace {

// Keyframes an eighth of a turn apart: the track turns the shorter way
// between two keys, which is then the intended one.
constexpr int kKeysPerTurn = 8;

}  // namespace

SoundDefinition OrbitSound(const std::string& file) {
  SoundDefinition sound;
  sound.name = "orbit";
  sound.path = "--orbit";
  sound.kind = SoundKind::File;
  sound.file = file;
  return sound;
}

SoundData MixedToMono(const SoundData& sound) {
  if (sound.channels == 1) return sound;
  const auto sample = [&sound](std::size_t i) -> float {
    switch (sound.bits) {
      case 8:
        return (static_cast<float>(sound.bytes[i]) - 128.0f) / 128.0f;
      case 16: {
        std::int16_t x;
        std::memcpy(&x, &sound.bytes[2 * i], sizeof x);
        return static_cast<float>(x) / 32768.0f;
      }
      default: {
        float x;
        std::memcpy(&x, &sound.bytes[4 * i], sizeof x);
        return x;
      }
    }
  };
  std::vector<float> mono(static_cast<std::size_t>(sound.frames));
  for (std::size_t f = 0; f < mono.size(); ++f) mono[f] = 0.5f * (sample(2 * f) + sample(2 * f + 1));
  return FromFloat(mono, 1, sound.sampleRate, 32);
}

Scene OrbitScene(const std::string& file, double sampleRate, double duration,
                 double soundSeconds) {
  Scene scene;
  scene.file = file;
  scene.sampleRate = sampleRate;
  scene.duration = duration;
  scene.threads = 2;
  scene.sounds.push_back(OrbitSound(file));

  EventDefinition event;
  event.path = "--orbit";
  event.mode = PlayMode::World;
  event.position = {0.0, 0.0, -kOrbitDistance};  // ahead of the listener at rest
  event.isUntilEnd = true;
  // Back to back; a tiny sound would otherwise ask for a flood of plays.
  event.interval = std::max(soundSeconds, 0.05);
  scene.events.push_back(event);

  // Turning left by a brings the sound, fixed ahead of the rest pose, to a
  // on the right: front (-sin a, 0, -cos a).
  const int keys = static_cast<int>(std::ceil(duration / kOrbitPeriod * kKeysPerTurn));
  for (int k = 0; k <= keys; ++k) {
    const double turn = static_cast<double>(k) / kKeysPerTurn;
    const double angle = 2.0 * std::numbers::pi * turn;
    ListenerKey key;
    key.time = turn * kOrbitPeriod;
    key.front = {-std::sin(angle), 0.0, -std::cos(angle)};
    scene.listener.push_back(key);
  }
  return scene;
}

}  // namespace orvplay
