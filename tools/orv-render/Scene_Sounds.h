// The part of the scene reader that reads a sound's definition.
#pragma once

#include "JsonReader.h"
#include "Scene.h"

namespace orvrender {

// Fills in a sound already named; throws JsonMistake when the sound cannot be
// read at all, and notes lesser mistakes in the document's problems.
void ReadSound(const JsonValue& v, const Scene& scene, SoundDefinition& sound);

}  // namespace orvrender
