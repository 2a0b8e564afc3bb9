// Renders a scene through the library's version 2 table in offline mode,
// block by block, as a host's audio loop would: between two Render calls it
// moves the listener and the room (Respatialize, only when they changed),
// moves and changes the voices it holds, stops those whose time has come, and
// plays the sounds that start within the coming block. Sounds start on their
// exact frame (startFrame); everything else applies from a block's first
// frame. The output is the same, bit for bit, on every run and thread count.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "Levels.h"
#include "OrvHost.h"
#include "Progress.h"
#include "Scene.h"
#include "Sounds.h"

namespace orvrender {

struct RenderReport {
  double sampleRate = 0.0;
  std::int64_t frames = 0;
  Levels levels{2};
  std::int64_t localVoices = 0;
  std::int64_t relativeVoices = 0;
  std::int64_t worldVoices = 0;
  std::int64_t playsAfterEnd = 0;  // repeats or events at or past the end, not played
  std::int64_t respatializeCalls = 0;
  double wallSeconds = 0.0;
  std::string formatName;
};

struct RenderTarget {
  std::string outputPath;
  int format = 0;         // libsndfile's, from FormatForPath
  double duration = 0.0;  // seconds
  Progress* progress = nullptr;
  const std::atomic<bool>* isInterrupted = nullptr;
  LogCollector* log = nullptr;
};

// Throws UserError (also when interrupted); the output path is then untouched.
RenderReport RenderScene(const Scene& scene, const std::vector<SoundData>& sounds,
                         const OrvLibrary& library, const RenderTarget& target);

}  // namespace orvrender
