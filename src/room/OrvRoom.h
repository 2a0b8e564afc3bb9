// The room: three reverb layers fed from the mono reverb send (the short one
// directly, the medium and long ones through a diffuser and a one-pole
// band-pass), each behind its pre-delay and mixed with smoothed gains into
// the stereo mix; the 70 Hz bass enhancer of the dry mono sum; the equaliser
// of the binaural signal. The engine composes it and calls its stages in
// render order: reverb, bass enhancer, then (after the binaural stage) the
// equaliser.
//
// Everything works on whole blocks. A room whose tail has sunk 600 dB down
// (where the flushed recurrences stall instead of reaching zero) and gets a
// silent send is zeroed once and then skips the reverb until sound returns.
//
// Built once (allocates); every other member is ORV_REALTIME and used by one
// thread at a time, except that RenderLayers calls on disjoint layer ranges
// may run at the same time, between BeginReverb and EndReverb.
#pragma once

#include <array>
#include <memory>
#include <vector>

#include "dsp/OrvReverb.h"
#include "dsp/OrvUtils.h"
#include "room/OrvRoom_Layers.h"
#include "room/OrvRoom_Tone.h"

namespace orv {

class Room {
 public:
  // Largest block of the staged reverb calls; RenderReverb takes any size.
  static constexpr int kMaxFrames = 1024;

  // samplingRate in Hz, > 0. Starts with kDefaultReverbLayers and silent
  // (zero) layer gains, so the reverb fades in.
  explicit Room(double samplingRate);
  ~Room();
  Room(const Room&) = delete;
  Room& operator=(const Room&) = delete;

  // Layer settings for the following frames, taken as the reverb's setters
  // accept them (NaN or negative sizes and times become their smallest
  // values, pre-delays are kept inside their one-second rings). The gains
  // glide to their new values. Cheap when nothing changed.
  void SetLayers(const ReverbLayers& layers) noexcept;

  // The reverb stage over numFrames >= 0 frames: send (n mono; non-finite
  // samples enter as silence, huge ones are clamped) through the three
  // layers; adds the stereo result with 20 % cross-feed to mainMix (2n,
  // interleaved) and its left channel to dryMonoSum (n). The arrays must not
  // overlap.
  void RenderReverb(const float* send, float* mainMix, float* dryMonoSum, int numFrames) noexcept;

  // The same, one frame at a time through the building blocks' per-sample
  // steps: the plain form the block-wise one replaced, kept as the reference
  // of tests and benchmarks. Both forms share the state and may alternate.
  void RenderReverbPerSample(const float* send, float* mainMix, float* dryMonoSum,
                             int numFrames) noexcept;

  // RenderReverb in three steps, for numFrames <= kMaxFrames, so that the
  // layers can run on different threads: BeginReverb takes the send and
  // runs the diffuser, the pre-delays and the band-passes; RenderLayers
  // (first, last) runs the reverbs of layers [first, last) (each call sets
  // its own subnormal mode); EndReverb mixes. At 48 kHz in 512-frame blocks
  // each layer costs about 4.5 us and the two serial steps together about
  // 7.5 us, so a second thread saves at most one layer per block, about as
  // much as the hand-over costs (bench/room_bench.cpp); the engine so far
  // calls RenderReverb on its render thread.
  void BeginReverb(const float* send, int numFrames) noexcept;
  void RenderLayers(int first, int last) noexcept;
  void EndReverb(float* mainMix, float* dryMonoSum) noexcept;

  // Adds the enhanced bass of dryMonoSum (n) to both channels of mainMix (2n).
  void RenderBassEnhancer(const float* dryMonoSum, float* mainMix, int numFrames) noexcept;
  // Adds the equalised spatialMix (2n) to mainMix (2n).
  void RenderEqualizer(const float* spatialMix, float* mainMix, int numFrames) noexcept;

  // True when the reverb holds only zeros: a silent send leaves it silent.
  bool IsReverbSilent() const noexcept;

 private:
  struct Layer;
  void ApplyLayers(const ReverbLayers& layers) noexcept;
  // When every part of the reverb is silent or quiet (within ±kQuietLevel),
  // zeroes it and returns true.
  bool SettleIfQuiet() noexcept;
  void RunDiffuser(float* data, int n) noexcept;
  void AdvanceGains(int numFrames, bool keepRamps) noexcept;

  float samplingRate;
  std::array<std::unique_ptr<Layer>, kNumReverbLayers> layers;
  std::vector<AllpassFilter1> diffuser;
  Equalizer equalizer;
  BassEnhancer bassEnhancer;
  ReverbLayers appliedLayers;
  int passFrames = 0;
  bool isPassSilent = false;
  alignas(16) std::array<float, kMaxFrames> input{};
  alignas(16) std::array<float, kMaxFrames> diffused{};
};

}  // namespace orv
