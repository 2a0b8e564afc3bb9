// Plays a scene live: the sound card's callback renders, and the main thread
// does what orv-render does between two Render calls (moves the listener, the
// room and the held voices, stops those whose time has come), paced by the
// frames the callback has rendered. That count is the scene's clock, so a
// pause, which stops the stream, stops the scene too. Sounds are sent a
// little ahead and start on their exact frame (startFrame); moves and stops
// apply from a block boundary.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "OrvHost.h"
#include "Scene.h"
#include "SoundCard.h"
#include "Sounds.h"

namespace orvplay {

class Terminal;

struct PlaySettings {
  double duration = 0.0;  // seconds
  int block = 512;        // frames per callback and per Render call
  OutputDevice device;
  double latency = 0.0;          // suggested to PortAudio, seconds
  Terminal* terminal = nullptr;  // keys and a status line when interactive
};

struct PlayReport {
  double sampleRate = 0.0;
  std::int64_t frames = 0;  // rendered into the device
  std::int64_t underruns = 0;
  std::int64_t plays = 0;
  std::int64_t playsAfterEnd = 0;  // repeats or events at or past the end, not played
  double latency = 0.0;
  double wallSeconds = 0.0;
  bool wasQuit = false;               // by a key or a signal, before the end
  std::vector<std::string> messages;  // the library's log, in order
  std::uint64_t droppedMessages = 0;
};

// Throws UserError when the library or the sound card refuses.
PlayReport PlayScene(const orvrender::Scene& scene, const std::vector<orvrender::SoundData>& sounds,
                     const orvrender::OrvLibrary& library, const PortAudio& portAudio,
                     const PlaySettings& settings);

}  // namespace orvplay
