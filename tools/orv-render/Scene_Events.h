// The part of the scene reader that reads events: which sound plays when,
// where and how, its repeats, and its keyframes, loop and stop.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "JsonReader.h"
#include "Scene.h"

namespace orvrender {

// Sound names to their index, so that finding an event's sound does not walk
// every sound for every event.
using SoundIndex = std::unordered_map<std::string, std::size_t>;

// Reads an event; throws JsonMistake when it is not an object at all, and
// notes lesser mistakes in the document's problems.
EventDefinition ReadEvent(const JsonValue& item, const std::vector<SoundDefinition>& sounds,
                          const SoundIndex& index, Problems& problems);

}  // namespace orvrender
