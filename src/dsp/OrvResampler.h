// Band-limited resampling of short impulse responses with a Kaiser-windowed
// sinc kernel, weights in double precision. Used by the converter tool and
// when a data set is loaded at another rate than it was made for; never on
// the render path (plans allocate).
#pragma once

#include <cstddef>
#include <vector>

namespace orv {

class Resampler {
 public:
  // Both rates in Hz, positive and finite; throws Exception otherwise.
  Resampler(double sourceRate, double targetRate);

  // Precomputed kernel weights for one delay and output length; apply them to
  // any number of inputs. Read-only after construction.
  class Plan {
   public:
    // The planned outputs for `input` (see MakePlan).
    std::vector<double> Apply(const std::vector<double>& input) const;
    // The same for float samples: inputLength samples in, OutputLength()
    // out, summed in float (within 1e-6 of the double form for a response's
    // few hundred terms). input and output must not overlap.
    void Apply(const float* input, std::size_t inputLength, float* output) const;
    std::size_t OutputLength() const { return firstIndex.size(); }

   private:
    friend class Resampler;
    std::vector<long> firstIndex;  // source index of each output's first weight
    std::vector<std::vector<double>> weights;
    std::vector<std::vector<float>> floatWeights;  // the same, for float samples
    double scale = 1.0;
  };

  // A plan that gives the band-limited signal through the input samples at
  // the target rate, delayed by `delay` source samples (fractional delays
  // allowed), for outputs firstOutput .. firstOutput + outputLength - 1;
  // output k lies at k * sourceRate / targetRate - delay source samples, so
  // negative outputs hold what the kernel rings before the first input.
  // Input samples outside the input are zero. The result is scaled by
  // sourceRate / targetRate so that, used as a filter, the response keeps its
  // transfer function below the cutoff. With equal rates and a whole-sample
  // delay the plan is an exact shift (no filtering).
  Plan MakePlan(double delay, long firstOutput, std::size_t outputLength) const;

  // The outputs that can be nonzero for an input of `inputLength` samples
  // delayed by `delay`: the whole response with the kernel's ringing on
  // both sides.
  struct Range {
    long first = 0;
    std::size_t length = 0;
  };
  Range OutputRange(std::size_t inputLength, double delay) const;

  // Centre of the kernel's transition band in Hz; content below about 96 %
  // of it passes within 0.1 dB.
  double CutoffFrequency() const;

  bool IsExactShift(double delay) const;

 private:
  double Kernel(double t) const;  // unnormalised weight at distance t source samples

  double sourceRate;
  double targetRate;
  double step;       // source samples per target sample
  double cutoff;     // cycles per source sample
  double halfWidth;  // kernel reach in source samples
};

}  // namespace orv
