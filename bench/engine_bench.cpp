// Cost of the whole engine per block: positioned mono voices rendered
// binaurally with the carried HRTF set, 48000 Hz, 512-frame blocks.
//
// The binaural stage costs per measured direction in use, not per voice, so
// two layouts are compared: every voice at its own direction (spread evenly
// over the sphere, so the directions in use grow with the voices until the
// set's 368 angles, each direct and mirrored, are all taken) and every voice
// at one direction.
//
// Counters: cpu_per_audio_s is the CPU time of the whole process (all engine
// threads) per second of audio; real_per_audio_s the wall-clock time per
// second of audio. The *_per_voice counters divide these by the voice count.
// Google Benchmark's own CPU column covers only the calling thread, so the
// engine benchmarks report real time (UseRealTime) and compare thread counts
// by it; the process CPU counter gives the total cost.
//
// With OpenAL Soft installed, the same scene (with a reverb room) is rendered
// by its per-source HRTF mixer on a loopback device as a reference.
#include <benchmark/benchmark.h>
#include <time.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "channel/OrvChannelRenderer.h"
#include "common/OrvBuffer.h"
#include "engine/OrvEngine.h"
#include "spatializer/OrvSpatializer.h"

#ifdef ORV_HAVE_OPENAL
#define AL_ALEXT_PROTOTYPES  // the EFX entry points, exported by OpenAL Soft
#include <AL/al.h>
#include <AL/alc.h>
#include <AL/alext.h>
#include <AL/efx.h>
#endif

namespace {

constexpr double kRate = 48000.0;
constexpr int kBlock = 512;
constexpr std::int64_t kNoiseFrames = 48000;  // one second, looped
constexpr int kDistinctBuffers = 16;
constexpr float kDistance = 2.0f;

std::vector<float> BenchNoise(std::size_t n, unsigned seed) {
  std::vector<float> v(n);
  unsigned state = 12345u + 7919u * seed;
  for (auto& x : v) {
    state = state * 1664525u + 1013904223u;
    x = static_cast<float>(state >> 8) * (1.0f / 16777216.0f) - 0.5f;
  }
  return v;
}

class NoiseBuffer final : public orv::Buffer {
 public:
  explicit NoiseBuffer(unsigned seed) : samples(BenchNoise(kNoiseFrames, seed)) {}
  const void* GetData() const override { return samples.data(); }
  orv::AudioFormat GetFormat() const override { return orv::kAudioFormatFloat32; }
  int GetNumChannels() const override { return 1; }
  double GetSamplingRate() const override { return kRate; }
  std::int64_t GetNumSamples() const override { return kNoiseFrames; }

 private:
  std::vector<float> samples;
};

// n directions spread evenly over the sphere (a Fibonacci lattice), at
// kDistance; with isShared all of them are the first one.
std::vector<orv::Vector3> Directions(int n, bool isShared) {
  std::vector<orv::Vector3> d;
  const double golden = M_PI * (3.0 - std::sqrt(5.0));
  for (int i = 0; i < n; ++i) {
    const int k = isShared ? 0 : i;
    const double y = 1.0 - 2.0 * (k + 0.5) / n;
    const double r = std::sqrt(1.0 - y * y), phi = golden * k;
    d.push_back({static_cast<float>(kDistance * r * std::sin(phi)),
                 static_cast<float>(kDistance * y),
                 static_cast<float>(kDistance * r * std::cos(phi))});
  }
  return d;
}

double ProcessCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Sets the per-audio-second counters from the process CPU time spent over
// the timed iterations.
void ReportCost(benchmark::State& state, double cpuSeconds, int voices) {
  const double audioSeconds = static_cast<double>(state.iterations()) * kBlock / kRate;
  state.counters["cpu_per_audio_s"] = cpuSeconds / audioSeconds;
  state.counters["cpu_per_voice"] = cpuSeconds / audioSeconds / voices;
  // Rates over the reported (real) time, inverted: seconds per audio second.
  const auto inverseRate =
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert;
  state.counters["real_per_audio_s"] = benchmark::Counter(kBlock / kRate, inverseRate);
  state.counters["real_per_voice"] = benchmark::Counter(kBlock / kRate * voices, inverseRate);
}

// Args: voices, engine threads, shared direction (0 or 1).
void BM_Engine(benchmark::State& state) {
  const int voices = static_cast<int>(state.range(0));
  const bool isShared = state.range(2) != 0;
  orv::EngineParam param;
  param.samplingRate = kRate;
  param.numThreads = static_cast<int>(state.range(1));
  param.UseCarriedHrtf();
  auto engine = std::make_shared<orv::Engine>(param);

  std::vector<std::shared_ptr<orv::Buffer>> buffers;
  for (int b = 0; b < kDistinctBuffers; ++b)
    buffers.push_back(std::make_shared<NoiseBuffer>(static_cast<unsigned>(b)));
  const auto directions = Directions(voices, isShared);
  std::vector<std::shared_ptr<orv::Channel>> channels;
  for (int v = 0; v < voices; ++v) {
    orv::ChannelParam p;
    p.isSpatialized = true;
    p.isLooped = true;
    p.loopStart = 0;
    p.loopEnd = kNoiseFrames;
    p.sourcePosition = directions[static_cast<std::size_t>(v)];
    p.gain = 1.0f / std::sqrt(static_cast<float>(voices));
    p.reverbGain = p.gain;
    // Different start points so the voices do not play in unison.
    p.position = static_cast<double>((v * 997) % kNoiseFrames);
    channels.push_back(
        engine->CreateChannel(0.0, buffers[static_cast<std::size_t>(v % kDistinctBuffers)], p));
  }

  std::vector<float> out(2 * kBlock);
  // The first blocks take the channels in and fill the convolvers.
  for (int i = 0; i < 4; ++i) {
    engine->Prerender();
    engine->Render(out.data(), kBlock);
  }
  // Between blocks nothing mixes, so the count of directions in use can be read.
  state.counters["angles"] = static_cast<double>(engine->spatializer->PrepareEndRender());

  const double cpuStart = ProcessCpuSeconds();
  for (auto _ : state) {
    engine->Prerender();
    engine->Render(out.data(), kBlock);
    benchmark::DoNotOptimize(out.data());
  }
  ReportCost(state, ProcessCpuSeconds() - cpuStart, voices);
}

void EngineArgs(benchmark::internal::Benchmark* b) {
  for (int shared : {0, 1})
    for (int threads : {1, 2})
      for (int voices : {1, 16, 64, 256, 1024, 4096}) b->Args({voices, threads, shared});
  // A crowd: every one of the set's angles in use.
  for (int threads : {1, 2}) b->Args({10000, threads, 0});
  b->ArgNames({"voices", "threads", "oneDirection"});
}
BENCHMARK(BM_Engine)->Apply(EngineArgs)->UseRealTime()->Unit(benchmark::kMillisecond);

// Building an engine with the carried HRTF set: what the host waits for in
// Init (the set's responses transformed, the room and the workers built).
// Arg: engine threads.
void BM_EngineInit(benchmark::State& state) {
  orv::EngineParam param;
  param.samplingRate = kRate;
  param.numThreads = static_cast<int>(state.range(0));
  param.UseCarriedHrtf();
  for (auto _ : state) {
    auto engine = std::make_shared<orv::Engine>(param);
    benchmark::DoNotOptimize(engine.get());
  }
}
BENCHMARK(BM_EngineInit)
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// The same at other output rates, where the set is resampled first. Arg: Hz.
void BM_EngineInitAtRate(benchmark::State& state) {
  orv::EngineParam param;
  param.samplingRate = static_cast<double>(state.range(0));
  param.UseCarriedHrtf();
  for (auto _ : state) {
    auto engine = std::make_shared<orv::Engine>(param);
    benchmark::DoNotOptimize(engine.get());
  }
}
BENCHMARK(BM_EngineInitAtRate)
    ->ArgName("rate")
    ->Arg(22050)
    ->Arg(44100)
    ->Arg(96000)
    ->Arg(192000)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

#ifdef ORV_HAVE_OPENAL

// OpenAL Soft on a loopback device, HRTF on, one thread: the reference. Every
// source is filtered with its own pair of responses and also feeds one EFX
// reverb (decay 3 s, auxiliary send 0), so both libraries render a room.
class OpenAlScene {
 public:
  // Error() is empty when the scene is playing.
  explicit OpenAlScene(int voices) : voices(voices) {
    if (const char* text = Open()) failure = text;
  }

  ~OpenAlScene() {
    if (context) {
      if (!sources.empty()) {
        alSourceStopv(voices, sources.data());
        alDeleteSources(voices, sources.data());
      }
      if (!buffers.empty()) alDeleteBuffers(kDistinctBuffers, buffers.data());
      if (slot) alDeleteAuxiliaryEffectSlots(1, &slot);
      if (effect) alDeleteEffects(1, &effect);
      alcMakeContextCurrent(nullptr);
      alcDestroyContext(context);
    }
    if (device) alcCloseDevice(device);
  }
  OpenAlScene(const OpenAlScene&) = delete;
  OpenAlScene& operator=(const OpenAlScene&) = delete;

  const std::string& Error() const { return failure; }
  const std::string& HrtfName() const { return hrtfName; }
  void Render(float* out) { renderSamples(device, out, kBlock); }
  bool IsPlaying() const {
    ALint playing = 0;
    alGetSourcei(sources.back(), AL_SOURCE_STATE, &playing);
    return playing == AL_PLAYING;
  }
  void Stop() { alSourceStopv(voices, sources.data()); }

 private:
  // The failure's text, or null once every source plays.
  const char* Open() {
    auto openLoopback = reinterpret_cast<LPALCLOOPBACKOPENDEVICESOFT>(
        alcGetProcAddress(nullptr, "alcLoopbackOpenDeviceSOFT"));
    renderSamples = reinterpret_cast<LPALCRENDERSAMPLESSOFT>(
        alcGetProcAddress(nullptr, "alcRenderSamplesSOFT"));
    if (!openLoopback || !renderSamples) return "ALC_SOFT_loopback is not available";
    device = openLoopback(nullptr);
    if (!device) return "no loopback device";
    if (!alcIsExtensionPresent(device, "ALC_EXT_EFX")) return "ALC_EXT_EFX is not available";
    const ALCint attributes[] = {ALC_FORMAT_CHANNELS_SOFT,
                                 ALC_STEREO_SOFT,
                                 ALC_FORMAT_TYPE_SOFT,
                                 ALC_FLOAT_SOFT,
                                 ALC_FREQUENCY,
                                 static_cast<ALCint>(kRate),
                                 ALC_HRTF_SOFT,
                                 ALC_TRUE,
                                 ALC_MONO_SOURCES,
                                 voices,
                                 ALC_STEREO_SOURCES,
                                 0,
                                 ALC_MAX_AUXILIARY_SENDS,
                                 1,
                                 0};
    context = alcCreateContext(device, attributes);
    ALCint hrtfStatus = 0;
    alcGetIntegerv(device, ALC_HRTF_STATUS_SOFT, 1, &hrtfStatus);
    if (!context || hrtfStatus != ALC_HRTF_ENABLED_SOFT)
      return "OpenAL Soft did not enable HRTF on the loopback device";
    alcMakeContextCurrent(context);
    if (const ALCchar* name = alcGetString(device, ALC_HRTF_SPECIFIER_SOFT)) hrtfName = name;

    alGenEffects(1, &effect);
    alEffecti(effect, AL_EFFECT_TYPE, AL_EFFECT_REVERB);
    alEffectf(effect, AL_REVERB_DECAY_TIME, 3.0f);
    alGenAuxiliaryEffectSlots(1, &slot);
    alAuxiliaryEffectSloti(slot, AL_EFFECTSLOT_EFFECT, static_cast<ALint>(effect));
    if (alGetError() != AL_NO_ERROR) return "OpenAL Soft refused the reverb slot";

    buffers.resize(kDistinctBuffers);
    alGenBuffers(kDistinctBuffers, buffers.data());
    for (int b = 0; b < kDistinctBuffers; ++b) {
      const auto noise = BenchNoise(kNoiseFrames, static_cast<unsigned>(b));
      std::vector<std::int16_t> pcm(noise.size());
      for (std::size_t i = 0; i < noise.size(); ++i)
        pcm[i] = static_cast<std::int16_t>(noise[i] * 32767.0f);
      alBufferData(buffers[static_cast<std::size_t>(b)], AL_FORMAT_MONO16, pcm.data(),
                   static_cast<ALsizei>(pcm.size() * sizeof(std::int16_t)),
                   static_cast<ALsizei>(kRate));
    }
    sources.resize(static_cast<std::size_t>(voices));
    alGenSources(voices, sources.data());
    if (alGetError() != AL_NO_ERROR) {
      sources.clear();
      return "OpenAL Soft refused the sources";
    }
    const auto directions = Directions(voices, false);
    for (int v = 0; v < voices; ++v) {
      const ALuint s = sources[static_cast<std::size_t>(v)];
      const orv::Vector3& d = directions[static_cast<std::size_t>(v)];
      alSourcei(s, AL_BUFFER,
                static_cast<ALint>(buffers[static_cast<std::size_t>(v % kDistinctBuffers)]));
      alSourcei(s, AL_LOOPING, AL_TRUE);
      alSourcei(s, AL_SOURCE_RELATIVE, AL_TRUE);
      // OpenAL's listener looks down -z with +x to the right.
      alSource3f(s, AL_POSITION, d.x, d.y, -d.z);
      alSourcef(s, AL_GAIN, 1.0f / std::sqrt(static_cast<float>(voices)));
      alSourcei(s, AL_SAMPLE_OFFSET, (v * 997) % static_cast<int>(kNoiseFrames));
      alSource3i(s, AL_AUXILIARY_SEND_FILTER, static_cast<ALint>(slot), 0, AL_FILTER_NULL);
    }
    if (alGetError() != AL_NO_ERROR) return "OpenAL Soft refused the source settings";
    alSourcePlayv(voices, sources.data());
    return nullptr;
  }

  int voices;
  LPALCRENDERSAMPLESSOFT renderSamples = nullptr;
  ALCdevice* device = nullptr;
  ALCcontext* context = nullptr;
  ALuint effect = 0;
  ALuint slot = 0;
  std::vector<ALuint> buffers;
  std::vector<ALuint> sources;
  std::string failure;
  std::string hrtfName;
};

void BM_OpenAlSoftHrtf(benchmark::State& state) {
  const int voices = static_cast<int>(state.range(0));
  OpenAlScene scene(voices);
  if (!scene.Error().empty()) {
    state.SkipWithError(scene.Error().c_str());
    return;
  }
  state.SetLabel(scene.HrtfName());
  std::vector<float> out(2 * kBlock);
  for (int i = 0; i < 4; ++i) scene.Render(out.data());
  state.counters["playing"] = scene.IsPlaying() ? 1 : 0;

  const double cpuStart = ProcessCpuSeconds();
  for (auto _ : state) {
    scene.Render(out.data());
    benchmark::DoNotOptimize(out.data());
  }
  ReportCost(state, ProcessCpuSeconds() - cpuStart, voices);

  // The room is really there: 0.25 s after every source has stopped, the
  // direct sound is long gone and only the reverb still rings.
  scene.Stop();
  for (int i = 0; i < static_cast<int>(0.25 * kRate) / kBlock; ++i) scene.Render(out.data());
  double energy = 0.0;
  for (float x : out) energy += static_cast<double>(x) * x;
  state.counters["reverb_tail_rms"] = std::sqrt(energy / static_cast<double>(out.size()));
}
BENCHMARK(BM_OpenAlSoftHrtf)
    ->ArgName("voices")
    ->Arg(1)
    ->Arg(16)
    ->Arg(64)
    ->Arg(256)
    ->Arg(1024)
    ->Arg(4096)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

#endif  // ORV_HAVE_OPENAL

}  // namespace
