#include "Orbit.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <vector>

namespace orvplay {

using namespace orvrender;

namespace {

// The voice moves in straight lines between keys: 64 a turn keep it within
// 0.12 % of the circle's radius, and its velocity, along the chord, within
// 3 degrees of the tangent (a Doppler wobble of 0.02 % at most).
constexpr int kKeysPerTurn = 64;

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
      case 8: return (static_cast<float>(sound.bytes[i]) - 128.0f) / 128.0f;
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
  for (std::size_t f = 0; f < mono.size(); ++f)
    mono[f] = 0.5f * (sample(2 * f) + sample(2 * f + 1));
  return FromFloat(mono, 1, sound.sampleRate, 32);
}

Scene OrbitScene(const std::string& file, double sampleRate, double duration) {
  Scene scene;
  scene.file = file;
  scene.sampleRate = sampleRate;
  scene.duration = duration;
  scene.threads = 2;
  scene.sounds.push_back(OrbitSound(file));

  // One looping voice, moved round the head in listener space (x right,
  // z front): at angle a clockwise from the front it is at (sin a, 0, cos a).
  EventDefinition event;
  event.path = "--orbit";
  event.mode = PlayMode::Relative;
  event.isLooping = true;
  const int keys = static_cast<int>(std::ceil(duration / kOrbitPeriod * kKeysPerTurn));
  for (int k = 0; k <= keys; ++k) {
    const double turn = static_cast<double>(k) / kKeysPerTurn;
    const double angle = 2.0 * std::numbers::pi * turn;
    event.positions.push_back(
        {turn * kOrbitPeriod, Vec3{std::sin(angle), 0.0, std::cos(angle)} * kOrbitDistance});
  }
  event.position = event.positions.front().position;
  scene.events.push_back(event);
  return scene;
}

}  // namespace orvplay
