// Peak and RMS of each output channel, and a count of samples that are not
// finite or lie beyond full scale: the summary's view of the rendered sound.
#pragma once

#include <cstdint>
#include <vector>

namespace orvrender {

class Levels {
 public:
  explicit Levels(int channels);

  void Add(const float* interleaved, std::int64_t frames);

  int Channels() const { return static_cast<int>(peak.size()); }
  std::int64_t Frames() const { return frames; }
  double Peak(int channel) const { return peak[channel]; }
  double Rms(int channel) const;
  std::int64_t NonFinite() const { return nonFinite; }
  std::int64_t BeyondFullScale() const { return beyondFullScale; }

  // 20 log10(x), with -inf shown as silence by the caller.
  static double Decibels(double x);

 private:
  std::vector<double> peak;
  std::vector<double> sumOfSquares;
  std::int64_t frames = 0;
  std::int64_t nonFinite = 0;
  std::int64_t beyondFullScale = 0;
};

}  // namespace orvrender
