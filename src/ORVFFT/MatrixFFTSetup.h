// A one-dimensional plan for the short power-of-two lengths the renderer
// transforms most (16 .. 1024 points, 128 above all), on contiguous floats
// at a vector level: one call of a matrix kernel per transform instead of a
// pass per radix. CreateFFTSetup picks it where it serves and falls back to
// StandardFFTSetup otherwise.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "ORVFFT/Kernel_Matrix.h"
#include "ORVFFT/OrvFFT.h"

namespace orvfft {

class MatrixFFTSetup final : public FFTSetup {
 public:
  // A plan at that level (which the processor must support), or null when no
  // kernel serves the request: single precision, one dimension, stride of
  // one float, batches that do not overlap.
  static std::unique_ptr<MatrixFFTSetup> Create(const FFTParam& param, cpu::FeatureLevel level);

  // ORV_REALTIME: allocates nothing. Reentrant: the plan is read-only.
  void Transform(const FFTInput& input) noexcept override;
  bool TransformInterleaved(float* outReal, float* outImag, const float* in) noexcept override;

 private:
  MatrixFFTSetup(const FFTParam& param, const kernel::MatrixKernel& kernel);

  kernel::MatrixKernel kernel;
  bool isBackward;
  std::size_t parallel;
  std::size_t distance;        // bytes
  std::vector<float> factors;  // real then imaginary parts, with room to align
  const float* factorsRe = nullptr;
  const float* factorsIm = nullptr;
};

}  // namespace orvfft
