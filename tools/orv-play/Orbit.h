// The headphone check: one sound file, looping, moved round the head of a
// listener at rest: in front, on the right, behind, on the left, once every
// kOrbitPeriod seconds. Mistaken sides or a front heard behind show at once.
#pragma once

#include <string>

#include "Scene.h"
#include "Sounds.h"

namespace orvplay {

inline constexpr double kOrbitPeriod = 8.0;                   // seconds per turn
inline constexpr double kOrbitDistance = 1.5;                 // metres from the head
inline constexpr double kOrbitDuration = 2.0 * kOrbitPeriod;  // when none is asked for

// The sound definition of the file, for LoadSound.
orvrender::SoundDefinition OrbitSound(const std::string& file);

// The library plays a stereo sound unspatialized, at both ears as it is:
// the orbit takes a stereo file's two channels mixed. Mono comes back as is.
orvrender::SoundData MixedToMono(const orvrender::SoundData& sound);

// The scene around the file's sound.
orvrender::Scene OrbitScene(const std::string& file, double sampleRate, double duration);

}  // namespace orvplay
