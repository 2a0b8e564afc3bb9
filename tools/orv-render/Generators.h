// Built-in sounds, so that scenes need no sound files: a sine, noise (white,
// pink, brown), a chirp, clicks (a clock's tick-tock) and a voice-like babble
// (a pulse train through vowel formants). Every generator is deterministic for
// a given seed.
#pragma once

#include <vector>

#include "Scene.h"

namespace orvrender {

// Interleaved float frames in -1..1 at sampleRate, shaped by sound.shape.
std::vector<float> Generate(const SoundDefinition& sound, double sampleRate);

}  // namespace orvrender
