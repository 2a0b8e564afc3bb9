#include "SoundCard.h"

#include <fcntl.h>
#include <portaudio.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "UserError.h"

namespace orvplay {

using orvrender::UserError;

namespace {

// Standard error redirected to /dev/null for the life of the object.
class QuietStderr {
 public:
  QuietStderr() {
    std::fflush(stderr);
    saved = dup(STDERR_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    if (saved >= 0 && null >= 0) dup2(null, STDERR_FILENO);
    if (null >= 0) close(null);
  }
  ~QuietStderr() {
    std::fflush(stderr);
    if (saved >= 0) {
      dup2(saved, STDERR_FILENO);
      close(saved);
    }
  }
  QuietStderr(const QuietStderr&) = delete;
  QuietStderr& operator=(const QuietStderr&) = delete;

 private:
  int saved = -1;
};

std::string Text(PaError error) { return Pa_GetErrorText(error); }

// The real-time path: Render and two counters, nothing that can block.
int Callback(const void*, void* output, unsigned long frameCount, const PaStreamCallbackTimeInfo*,
             PaStreamCallbackFlags flags, void* userData) noexcept {
  auto* state = static_cast<StreamState*>(userData);
  if (flags & paOutputUnderflow) state->underruns.fetch_add(1, std::memory_order_relaxed);
  state->render(state->context, static_cast<float*>(output), static_cast<int>(frameCount));
  // Only this thread writes the count; the main thread reads it as the clock.
  const std::int64_t frames =
      state->frames.load(std::memory_order_relaxed) + static_cast<std::int64_t>(frameCount);
  state->frames.store(frames, std::memory_order_release);
  return frames >= state->totalFrames ? paComplete : paContinue;
}

}  // namespace

// --- PortAudio ---------------------------------------------------------------

PortAudio::PortAudio() {
  PaError error;
  {
    const QuietStderr quiet;
    error = Pa_Initialize();
  }
  if (error != paNoError) throw UserError("cannot start PortAudio: " + Text(error));
}

PortAudio::~PortAudio() { Pa_Terminate(); }

std::vector<OutputDevice> PortAudio::OutputDevices() const {
  std::vector<OutputDevice> devices;
  const PaDeviceIndex defaultIndex = Pa_GetDefaultOutputDevice();
  const PaDeviceIndex count = Pa_GetDeviceCount();
  for (PaDeviceIndex i = 0; i < count; ++i) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
    if (!info || info->maxOutputChannels < 2) continue;
    const PaHostApiInfo* api = Pa_GetHostApiInfo(info->hostApi);
    OutputDevice d;
    d.index = i;
    d.name = info->name ? info->name : "";
    d.hostApi = api && api->name ? api->name : "";
    d.channels = info->maxOutputChannels;
    d.defaultRate = info->defaultSampleRate;
    d.lowLatency = info->defaultLowOutputLatency;
    d.highLatency = info->defaultHighOutputLatency;
    d.isDefault = i == defaultIndex;
    devices.push_back(d);
  }
  return devices;
}

OutputDevice PortAudio::Find(const std::string& choice) const {
  const std::vector<OutputDevice> devices = OutputDevices();
  if (devices.empty()) throw UserError("no sound card output that plays stereo was found");
  if (choice.empty()) {
    for (const OutputDevice& d : devices)
      if (d.isDefault) return d;
    return devices.front();
  }
  char* end = nullptr;
  const long index = std::strtol(choice.c_str(), &end, 10);
  if (*end == '\0') {
    for (const OutputDevice& d : devices)
      if (d.index == index) return d;
    throw UserError("--device " + choice +
                    ": no stereo output has that number; see --list-devices");
  }
  const OutputDevice* found = nullptr;
  for (const OutputDevice& d : devices) {
    if (d.name == choice) return d;
    if (d.name.find(choice) == std::string::npos) continue;
    if (found)
      throw UserError("--device " + choice + ": both '" + found->name + "' and '" + d.name +
                      "' match; give more of the name or the number from --list-devices");
    found = &d;
  }
  if (!found)
    throw UserError("--device " + choice + ": no stereo output has that name; see --list-devices");
  return *found;
}

// --- OutputStream ------------------------------------------------------------

OutputStream::OutputStream(const PortAudio&, const OutputDevice& device, double sampleRate,
                           int block, double latency, StreamState& state) {
  PaStreamParameters output{};
  output.device = device.index;
  output.channelCount = 2;
  output.sampleFormat = paFloat32;  // interleaved, as Render writes it
  output.suggestedLatency = latency;
  PaError error;
  {
    const QuietStderr quiet;
    // No clipping by PortAudio: the library's limiter already keeps the level.
    error = Pa_OpenStream(&stream, nullptr, &output, sampleRate, static_cast<unsigned long>(block),
                          paClipOff, &Callback, &state);
  }
  if (error != paNoError) {
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.0f", sampleRate);
    throw UserError("cannot open '" + device.name + "' for stereo at " + rate +
                    " Hz in blocks of " + std::to_string(block) + " frames: " + Text(error));
  }
}

OutputStream::~OutputStream() {
  if (isStarted) Pa_AbortStream(stream);
  Pa_CloseStream(stream);
}

void OutputStream::Start() {
  const PaError error = Pa_StartStream(stream);
  if (error != paNoError) throw UserError("cannot start the sound card: " + Text(error));
  isStarted = true;
}

void OutputStream::Stop() {
  if (isStarted) Pa_StopStream(stream);
  isStarted = false;
}

void OutputStream::Abort() {
  if (isStarted) Pa_AbortStream(stream);
  isStarted = false;
}

bool OutputStream::IsActive() const { return Pa_IsStreamActive(stream) == 1; }

double OutputStream::Latency() const {
  const PaStreamInfo* info = Pa_GetStreamInfo(stream);
  return info ? info->outputLatency : 0.0;
}

}  // namespace orvplay
