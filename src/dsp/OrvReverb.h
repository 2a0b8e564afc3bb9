// Late reverberation: a feedback delay network of sixteen prime-length lines
// mixed by a 16x16 Hadamard matrix, scaled by one feedback gain, damped by a
// one-pole low-pass per line and fed back. Mono in, eight outputs (lines 0..7)
// through a tone correction that restores the highs the damping removes.
//
// Two ways to run it, giving the same results within rounding (in practice
// bit for bit) and usable alternately: ProcessSample, one step at a time (the
// plain form, kept as the reference), and ProcessBlock, which runs the network
// over runs of up to the shortest loop's length, where no sample written in
// the run is read back within it: each line is then read and written as one
// contiguous run, and the mixing and damping work on four steps at once.
// The lines keep their whole 32768-sample history (one allocation, see
// DelayLineBank), so that Update can change lengths at any time and the
// lines read on exactly as before; a block touches only the two runs per
// line it reads and writes.
//
// The reverb has no lock and is used by one thread at a time. The setters and
// Update are cheap and allocate nothing; ProcessSample and ProcessBlock are
// ORV_REALTIME.
#pragma once

#include <array>

#include "common/OrvSimd.h"
#include "dsp/OrvInternals_DelayLine.h"
#include "dsp/OrvUtils.h"

namespace orv {

// The smallest prime >= n (2 for n <= 2). Reads a constant table and
// allocates nothing, so any thread may call it at any time.
int FindNearestPrime(int n) noexcept;

class Reverb {
 public:
  static constexpr int kNumLines = 16;
  static constexpr int kNumOutputs = 8;
  static constexpr int kLineLength = 32768;

  using Lines = DelayLineBank<kNumLines, kLineLength>;
  using Output = std::array<float, kNumOutputs>;

  // samplingRate in Hz, >= 0. Allocates the sixteen lines (128 KiB each, in
  // one block).
  explicit Reverb(double samplingRate);
  Reverb(const Reverb&) = delete;
  Reverb& operator=(const Reverb&) = delete;

  // Seconds of the shortest line, clamped to [0.0001, 100].
  void SetSize(float v);
  // The longest line is about (1 + v) times the shortest.
  void SetDelayRange(float v);
  // Seconds for a 60 dB decay, clamped to [0.0001, 100].
  void SetRT60Time(float seconds);
  // Reverberation time at frequency (Hz) relative to the RT60 time; ratio in (0, 1).
  void SetHFReverbTimeRatio(float frequency, float ratio);

  // Recomputes the line lengths and coefficients from the parameters. Lines
  // are not cleared. The setters do not call it.
  void Update();

  // One input sample, eight outputs. ORV_REALTIME. Takes the 4-wide vector
  // path where the processor has it; both paths give the same results within
  // rounding and may be called alternately on one reverb.
  Output ProcessSample(float input) noexcept {
#if defined(ORV_HAVE_SIMD4)
    return ProcessSampleVector(input);
#else
    return ProcessSampleScalar(input);
#endif
  }
  Output ProcessSampleScalar(float input) noexcept;
#if defined(ORV_HAVE_SIMD4)
  Output ProcessSampleVector(float input) noexcept;
#endif

  // numFrames steps of input (finite, any alignment), the same as that many
  // ProcessSample calls, keeping outputs a and b (indexes below kNumOutputs)
  // in outA and outB. The outputs must not alias input. A network of zeros
  // fed zeros only fills the outputs with zeros. ORV_REALTIME.
  void ProcessBlock(const float* input, int numFrames, int a, float* outA, int b,
                    float* outB) noexcept;
  // The same with the 4-wide kernel disabled (the scalar path beside it).
  void ProcessBlockScalar(const float* input, int numFrames, int a, float* outA, int b,
                          float* outB) noexcept;

  // Below this level a tail is no longer sound but the residue of the
  // damping recurrence, which stalls once its steps round to no change.
  static constexpr float kQuietLevel = orv::kQuietLevel;

  // True when the lines and states are all exact zeros (as built, or after
  // Silence): silent input then gives silent output.
  bool IsSilent() const noexcept { return isSilent; }
  // True when every line has held only values within ±kQuietLevel for a
  // whole ring (the block steps keep count) and so have the damping states.
  bool IsQuiet() const noexcept;
  // Zeroes the lines and states: a quiet network's residue is dropped, so
  // that silence costs nothing from then on. Writes all rings (2 MiB).
  // ORV_REALTIME.
  void Silence() noexcept;

  float GetSize() const { return size; }
  float GetDelayRange() const { return delayRange; }
  float GetRT60Time() const { return rt60Time; }
  float GetSamplingRate() const { return samplingRate; }
  float GetGain() const { return gain; }
  float GetHFRatio() const { return hfRatio; }
  float GetHFFrequency() const { return hfFrequency; }
  float GetLpfCoef() const { return lpfCoef; }
  float GetToneA() const { return toneA; }
  float GetToneB() const { return toneB; }
  // The prime length of line i; its loop is one sample longer.
  int GetLineDelay(int i) const { return lines.GetDelay(i); }

 private:
  template <bool useVector>
  void Run(const float* input, int numFrames, int a, float* outA, int b, float* outB) noexcept;
  // One step of the network on one step of every run (the scalar kernel).
  void Step(const float* const* read, float* const* write, int t, float input) noexcept;
  // Whole four-step tiles of a run of length n; returns the tiles' count and
  // raises loudest to the largest magnitude written.
  int StepTiles(const float* const* read, float* const* write, int n, const float* input,
                float& loudest) noexcept;

  Lines lines;
  // Steps in a row, up to kLineLength, in which every written sample was
  // within ±kQuietLevel.
  int quietSteps = kLineLength;
  bool isSilent = true;
  float size = 0.07f;
  float delayRange = 0.5f;
  float rt60Time = 2.3f;
  float samplingRate;
  float gain = 0.0f;
  float hfRatio = 0.8f;
  float hfFrequency;
  float lpfCoef = 0.0f;
  alignas(16) std::array<float, kNumLines> lpfState{};
  alignas(16) std::array<float, kNumOutputs> toneState{};
  float toneA = 0.0f;
  float toneB = 1.0f;
};

}  // namespace orv
