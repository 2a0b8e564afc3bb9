// The sound card through PortAudio: its output devices, and one stereo float
// stream whose callback calls the library's Render and does nothing else.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "orv/orv.h"

typedef void PaStream;

namespace orvplay {

struct OutputDevice {
  int index = -1;  // PortAudio's device index
  std::string name;
  std::string hostApi;
  int channels = 0;
  double defaultRate = 0.0;
  double lowLatency = 0.0;  // seconds
  double highLatency = 0.0;
  bool isDefault = false;
};

// PortAudio, initialised for the life of the object. Its host APIs report
// their probing (JACK looking for a server, ALSA's absent cards) on standard
// error; that noise is silenced while PortAudio starts and opens streams.
class PortAudio {
 public:
  PortAudio();  // throws UserError
  ~PortAudio();
  PortAudio(const PortAudio&) = delete;
  PortAudio& operator=(const PortAudio&) = delete;

  // The devices that can play stereo.
  std::vector<OutputDevice> OutputDevices() const;
  // "" gives the default device; a number a device by index; anything else
  // the one device whose name contains it. Throws UserError.
  OutputDevice Find(const std::string& choice) const;
};

// What the callback shares with the main thread. The callback reads render,
// context and totalFrames, which are set before the stream starts, and only
// stores into the two counters.
struct StreamState {
  void (*render)(ContextPrivate* context, float* stream, int numFrames) = nullptr;
  ContextPrivate* context = nullptr;
  std::int64_t totalFrames = 0;            // the stream completes once this many are rendered
  std::atomic<std::int64_t> frames{0};     // rendered and handed to the device
  std::atomic<std::int64_t> underruns{0};  // callbacks that reported an output underflow
};

class OutputStream {
 public:
  // Opens (does not start) a stereo stream of blocks of `block` frames.
  // Throws UserError.
  OutputStream(const PortAudio& portAudio, const OutputDevice& device, double sampleRate, int block,
               double latency, StreamState& state);
  ~OutputStream();  // aborts a running stream
  OutputStream(const OutputStream&) = delete;
  OutputStream& operator=(const OutputStream&) = delete;

  void Start();  // throws UserError
  void Stop();   // after what was rendered has played
  void Abort();  // at once
  // False once the callback has completed the stream and its last block played.
  bool IsActive() const;
  double Latency() const;  // the output latency PortAudio reports, in seconds

 private:
  PaStream* stream = nullptr;
  bool isStarted = false;
};

}  // namespace orvplay
