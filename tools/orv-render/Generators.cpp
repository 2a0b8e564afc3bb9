#include "Generators.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace orvrender {

namespace {

using Signal = std::vector<double>;  // one channel

constexpr double kTwoPi = 2.0 * M_PI;

class WhiteNoise {
 public:
  explicit WhiteNoise(std::uint32_t seed) : engine(seed) {}
  double operator()() { return distribution(engine); }

 private:
  std::mt19937 engine;
  std::uniform_real_distribution<double> distribution{-1.0, 1.0};
};

Signal Sine(std::size_t n, double frequency, double rate) {
  Signal s(n);
  for (std::size_t i = 0; i < n; ++i)
    s[i] = std::sin(kTwoPi * frequency * static_cast<double>(i) / rate);
  return s;
}

Signal Noise(std::size_t n, NoiseColor color, std::uint32_t seed) {
  WhiteNoise white(seed);
  Signal s(n);
  // Pink: a sum of one-pole filters whose slopes add up to -3 dB per octave
  // within 0.05 dB above 10 Hz at 44.1 kHz (Paul Kellet's "refined" weights).
  double b[7] = {};
  double brown = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double w = white();
    switch (color) {
      case NoiseColor::White: s[i] = w; break;
      case NoiseColor::Pink:
        b[0] = 0.99886 * b[0] + w * 0.0555179;
        b[1] = 0.99332 * b[1] + w * 0.0750759;
        b[2] = 0.96900 * b[2] + w * 0.1538520;
        b[3] = 0.86650 * b[3] + w * 0.3104856;
        b[4] = 0.55000 * b[4] + w * 0.5329522;
        b[5] = -0.7616 * b[5] - w * 0.0168980;
        s[i] = b[0] + b[1] + b[2] + b[3] + b[4] + b[5] + b[6] + w * 0.5362;
        b[6] = w * 0.115926;
        break;
      case NoiseColor::Brown:
        // A leaky integrator: -6 dB per octave above a few Hz, no drift.
        brown = (brown + 0.02 * w) / 1.02;
        s[i] = brown;
        break;
    }
  }
  return s;
}

Signal Chirp(std::size_t n, double f0, double f1, bool isExponential, double rate) {
  Signal s(n);
  double phase = 0.0;
  const double last = n > 1 ? static_cast<double>(n - 1) : 1.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double u = static_cast<double>(i) / last;
    const double f = isExponential ? f0 * std::pow(f1 / f0, u) : f0 + (f1 - f0) * u;
    s[i] = std::sin(phase);
    phase = std::fmod(phase + kTwoPi * f / rate, kTwoPi);
  }
  return s;
}

Signal Clicks(std::size_t n, const SoundDefinition& sound, double rate, std::uint32_t seed) {
  WhiteNoise white(seed);
  Signal s(n, 0.0);
  const std::size_t clickLength = static_cast<std::size_t>(8.0 * sound.clickDecay * rate) + 1;
  for (std::size_t k = 0;; ++k) {
    const std::size_t start = static_cast<std::size_t>(std::llround(k * sound.interval * rate));
    if (start >= n) break;
    const double tone =
        (k % 2 == 1 && sound.alternateTone > 0.0) ? sound.alternateTone : sound.tone;
    for (std::size_t i = 0; i < clickLength && start + i < n; ++i) {
      const double t = static_cast<double>(i) / rate;
      const double carrier = tone > 0.0 ? std::sin(kTwoPi * tone * t) : white();
      s[start + i] += carrier * std::exp(-t / sound.clickDecay);
    }
  }
  return s;
}

// The flow of a Rosenberg glottal pulse over one period (phase 0..1): opens
// over 40 % of the period, closes over 16 %, then stays shut.
double GlottalFlow(double phase) {
  if (phase < 0.40) return 0.5 * (1.0 - std::cos(M_PI * phase / 0.40));
  if (phase < 0.56) return std::cos(0.5 * M_PI * (phase - 0.40) / 0.16);
  return 0.0;
}

// Klatt's digital resonator: unit gain at 0 Hz, a peak at `frequency`.
class Resonator {
 public:
  void Set(double frequency, double bandwidth, double rate) {
    const double r = std::exp(-M_PI * bandwidth / rate);
    b = 2.0 * r * std::cos(kTwoPi * frequency / rate);
    c = -r * r;
    a = 1.0 - b - c;
  }
  double operator()(double x) {
    const double y = a * x + b * y1 + c * y2;
    y2 = y1;
    y1 = y;
    return y;
  }

 private:
  double a = 1.0, b = 0.0, c = 0.0, y1 = 0.0, y2 = 0.0;
};

// Babble: syllables of a pulse train through three vowel formants, with
// vibrato, a falling pitch in each syllable and a little breath.
Signal Voice(std::size_t n, const SoundDefinition& sound, double rate, std::uint32_t seed) {
  static const double kFormants[5][3] = {
      {730, 1090, 2440}, {530, 1840, 2480}, {270, 2290, 3010}, {570, 840, 2410}, {300, 870, 2240}};
  static const double kBandwidths[3] = {60.0, 90.0, 120.0};
  WhiteNoise white(seed);
  std::mt19937 choice(seed ^ 0x9e3779b9u);
  Resonator formant[3];
  double current[3] = {kFormants[0][0], kFormants[0][1], kFormants[0][2]};
  const double glide = 1.0 - std::exp(-1.0 / (0.03 * rate));  // 30 ms vowel transitions
  const double nyquistMargin = 0.45 * rate;
  long syllable = -1;
  const double* target = kFormants[0];
  double syllablePitch = 1.0;
  double phase = 0.0, previousFlow = 0.0;
  Signal s(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / rate;
    const double position = t * sound.syllableRate;
    const long index = static_cast<long>(position);
    const double u = position - static_cast<double>(index);
    if (index != syllable) {
      syllable = index;
      const char vowel = sound.vowels[choice() % sound.vowels.size()];
      target = kFormants[std::string_view("aeiou").find(vowel)];
      syllablePitch = 0.9 + 0.2 * (static_cast<double>(choice() % 1000) / 999.0);
    }
    // Voiced for the first 75 % of a syllable, with short ramps at both ends.
    const double envelope =
        std::clamp(u / 0.12, 0.0, 1.0) * std::clamp((0.75 - u) / 0.15, 0.0, 1.0);
    const double f0 = sound.pitch * syllablePitch * (1.0 + 0.02 * std::sin(kTwoPi * 5.5 * t)) *
                      (1.0 + 0.1 * (0.5 - u));
    phase += f0 / rate;
    phase -= std::floor(phase);
    const double flow = GlottalFlow(phase);
    const double excitation = (flow - previousFlow + 0.01 * white()) * envelope;
    previousFlow = flow;
    double y = excitation;
    for (int k = 0; k < 3; ++k) {
      current[k] += (std::min(target[k], nyquistMargin) - current[k]) * glide;
      formant[k].Set(current[k], kBandwidths[k], rate);
      y = formant[k](y);
    }
    s[i] = y;
  }
  return s;
}

void LowPass(Signal& s, double cutoff, double rate) {
  const double c = 1.0 - std::exp(-kTwoPi * cutoff / rate);
  double y = 0.0;
  for (double& x : s) x = y += (x - y) * c;
}

void NormalizePeak(Signal& s) {
  double peak = 0.0;
  for (double x : s) peak = std::max(peak, std::fabs(x));
  if (peak > 0.0)
    for (double& x : s) x /= peak;
}

// Fades, decay and tremolo over time.
double Envelope(const GeneratorShape& shape, double t) {
  double g = 1.0;
  if (shape.attack > 0.0 && t < shape.attack) g *= t / shape.attack;
  const double toEnd = shape.duration - t;
  if (shape.release > 0.0 && toEnd < shape.release) g *= std::max(0.0, toEnd / shape.release);
  if (shape.decay > 0.0) g *= std::exp(-t / shape.decay);
  if (shape.tremoloDepth > 0.0)
    g *= 1.0 - shape.tremoloDepth * (0.5 - 0.5 * std::cos(kTwoPi * shape.tremoloRate * t));
  return g;
}

Signal Channel(const SoundDefinition& sound, std::size_t n, double rate, int channel) {
  // Noise and breath differ between channels so that stereo noise is wide.
  const std::uint32_t seed = sound.shape.seed + 7919u * static_cast<std::uint32_t>(channel);
  switch (sound.kind) {
    case SoundKind::Sine: return Sine(n, sound.frequency, rate);
    case SoundKind::Noise: return Noise(n, sound.color, seed);
    case SoundKind::Chirp:
      return Chirp(n, sound.startFrequency, sound.endFrequency, sound.isExponential, rate);
    case SoundKind::Clicks: return Clicks(n, sound, rate, seed);
    case SoundKind::Voice: return Voice(n, sound, rate, sound.shape.seed);
    case SoundKind::File: break;
  }
  return Signal(n, 0.0);
}

}  // namespace

std::vector<float> Generate(const SoundDefinition& sound, double rate) {
  const GeneratorShape& shape = sound.shape;
  const std::size_t n = static_cast<std::size_t>(std::llround(shape.duration * rate));
  const int channels = shape.channels;
  // Equal-power pan that leaves both sides at full level in the centre.
  const double angle = (shape.pan + 1.0) * M_PI / 4.0;
  const double panGain[2] = {std::min(1.0, M_SQRT2 * std::cos(angle)),
                             std::min(1.0, M_SQRT2 * std::sin(angle))};
  std::vector<float> out(n * channels);
  for (int c = 0; c < channels; ++c) {
    Signal s = Channel(sound, n, rate, c);
    if (shape.lowpass > 0.0) LowPass(s, shape.lowpass, rate);
    NormalizePeak(s);
    const double gain = shape.amplitude * (channels == 2 ? panGain[c] : 1.0);
    for (std::size_t i = 0; i < n; ++i)
      out[i * channels + c] =
          static_cast<float>(s[i] * gain * Envelope(shape, static_cast<double>(i) / rate));
  }
  return out;
}

}  // namespace orvrender
