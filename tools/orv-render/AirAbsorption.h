// The low-pass that air puts on a distant sound, as the one coefficient the
// library asks of the host for every world-positioned sound.
//
// Air absorbs high frequencies roughly with the square of frequency: about
// a = 1e-9 dB per metre per Hz^2 at room temperature and middle humidity
// (0.1 dB/m at 10 kHz). Over a distance d the loss reaches 3 dB at
//   fc = sqrt(3 / (a * k * d))
// where k is the scene's airAbsorption scale (1 = real air). The library's
// one-pole low-pass y += c * (x - y) gets that cutoff with
//   c = 1 - exp(-2 * pi * fc / sampleRate),
// clamped to 0..1. Sources at the listener's own position, and a scale of 0,
// give c = 1 (unfiltered).
#pragma once

#include "Vec3.h"

namespace orvrender {

class AirAbsorption {
 public:
  AirAbsorption(double sampleRate, double scale);

  // Where the listener is now; distances are measured from here.
  void SetListener(Vec3 position) { listener = position; }

  double Cutoff(double distance) const;  // Hz; infinite when nothing is absorbed
  float Coefficient(double distance) const;

  // OrvLowPassCallback; userData is the AirAbsorption.
  static void Callback(const Vector3* worldPosition, float* result, void* userData);

  static constexpr double kDecibelsPerMetrePerHz2 = 1e-9;

 private:
  double sampleRate;
  double scale;
  Vec3 listener;
};

}  // namespace orvrender
