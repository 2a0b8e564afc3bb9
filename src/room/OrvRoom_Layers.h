// The room's three reverb layers: their settings, the defaults used until the
// host describes a room, the derivation of the settings from the host's room
// description, and the fixed design of each layer (line spread, damping,
// band-pass before it, outputs taken). Plain data and one pure function.
#pragma once

#include <array>

namespace orv {

// Settings of one reverb layer; times in seconds.
struct ReverbLayerParam {
  float gain;
  float size;
  float rt60Time;
  float preDelay;
};

inline constexpr int kNumReverbLayers = 3;
// Layer order everywhere: short, medium, long.
using ReverbLayers = std::array<ReverbLayerParam, kNumReverbLayers>;
enum ReverbLayer : int { kShortLayer = 0, kMediumLayer = 1, kLongLayer = 2 };

// Layer settings used until the host first describes a room: early
// reflections (1 ms lines, 0.1 s), a 1 s body and a 3 s tail.
inline constexpr ReverbLayers kDefaultReverbLayers = {{
    {0.3f, 0.001f, 0.1f, 0.0f},
    {0.2f, 0.013f, 1.0f, 0.0f},
    {0.17f, 0.036f, 3.0f, 0.0f},
}};

// The layers for the host's room description (single precision, NaN taken as
// the low end of each clamp, so a bad description never reaches the reverb):
//   T = clamp(V · 0.161 / max(A, 0.01) / 0.4 · 1.5, 1.2, 15) seconds:
//       Sabine's reverberation time 0.161·V/(A·α) for a mean absorption
//       coefficient α = 0.4, lengthened by half (a tuning of the model);
//   L = clamp((reflectivity⁴ · enclosure³ · 0.34 + 0.02) · 0.5, 0.01, 0.5):
//       the tail's level, 0.01 (-40 dB) for an open or dead room and 0.18
//       (-15 dB, next to the default room's 0.17) for a fully reflective,
//       fully enclosed one, which is what 0.34 + 0.02 = 0.36 sets;
//   K = clamp(2 - T, 1, 2) · L: meant to raise the early layers in short
//       rooms, but T >= 1.2 makes the factor 1, so K = L.
// Short layer: gain 0.5·K, 1 ms, 0.1 s. Medium: K, 13 ms, 0.3·T. Long: L,
// 36 ms, T. No pre-delays.
ReverbLayers DeriveReverbLayers(float reflectivity, float roomVolume, float roomArea,
                                float enclosure) noexcept;

// The fixed part of a layer's design.
struct ReverbLayerDesign {
  float delayRange;  // longest line about (1 + delayRange) times the shortest
  float hfRatio;     // decay time at 8 kHz relative to rt60Time
  // The one-pole pair before the medium and long layers: a low-pass minus a
  // slower low-pass tracking and removing the lowest frequencies. The short
  // layer has none.
  float lowPassCoef;
  float highPassCoef;
  int leftOutput;  // the reverb outputs taken as the layer's left and right
  int rightOutput;
};

inline constexpr float kHfReferenceFrequency = 8000.0f;

inline constexpr std::array<ReverbLayerDesign, kNumReverbLayers> kReverbLayerDesigns = {{
    {1.65f, 0.9f, 0.0f, 0.0f, 0, 2},   // short: fed directly, unfiltered
    {1.8f, 0.95f, 0.3f, 0.01f, 1, 5},  // medium: 30 % / 1 % per sample
    {1.65f, 0.8f, 0.1f, 0.02f, 6, 7},  // long: darker, 10 % / 2 % per sample
}};

// The diffuser before the medium and long layers: Schroeder all-passes,
// (delay in samples, coefficient) in processing order. Four mild stages of
// growing, mutually prime delays (7 .. 157) thicken the echo pattern the
// layers start from; three strong one-to-five sample stages smear the phase
// of sharp transients, and a last strong 55-sample stage adds density. All
// together they delay the onset by at most 362 samples and, being all-passes,
// leave the spectrum flat.
struct DiffuserStage {
  int delay;
  float coef;
};
inline constexpr std::array<DiffuserStage, 8> kDiffuserStages = {{
    {7, 0.3f},
    {37, 0.2f},
    {97, 0.1f},
    {157, 0.1f},
    {1, 0.6f},
    {3, 0.6f},
    {5, 0.6f},
    {55, 0.6f},
}};

// Fraction of the remaining gap a smoothed layer gain closes per frame.
inline constexpr float kGainSmoothing = 0.1f;
// Share of each reverb channel fed into the other output channel.
inline constexpr float kCrossFeed = 0.2f;

}  // namespace orv
