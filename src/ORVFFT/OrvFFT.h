// orvfft: a small self-contained complex FFT on split data (separate real
// and imaginary arrays). Describe a transform in an FFTParam, get a plan from
// CreateFFTSetup once, then call Transform for every block.
//
// Lengths are products of 2 and 3. Transforms are unscaled (forward then
// backward multiplies by N) and in natural order. A plan is not reentrant
// (it owns scratch arrays); distinct plans may run on different threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "common/OrvException.h"

namespace orvfft {

enum DataType : std::int32_t {
  kDataTypeFloat = 0,   // 32-bit float
  kDataTypeDouble = 1,  // 64-bit double
};

namespace cpu {

enum FeatureLevel : std::int32_t {
  kFeatureLevelGeneric = 0,  // no processor-specific code
  kFeatureLevelSimd4 = 1,    // 4-wide single-precision vector instructions
  kFeatureLevelSimd8 = 2,    // 8-wide with fused multiply-add (AVX2 + FMA)
};

// Whether this processor (and this build) can run kernels of that level,
// under the limit tests may set (orv::simd::LimitLevelForTesting). Plans
// take their level when created.
bool Supports(FeatureLevel level) noexcept;

}  // namespace cpu

struct FFTParam {
  bool backward = false;          // false: e^(-2πi·kn/N); true: e^(+2πi·kn/N)
  std::vector<std::size_t> size;  // length of each dimension, innermost first
  std::size_t stride = 4;         // bytes between elements of one transform
  std::size_t parallel = 1;       // transforms per call
  std::size_t distance = 4;       // bytes between first elements of parallel transforms
  DataType dataType = kDataTypeFloat;
};

// Arrays of the plan's element type. Each in array either is its out array
// (in-place transform) or does not overlap it.
struct FFTInput {
  void* outReal = nullptr;
  void* outImag = nullptr;
  const void* inReal = nullptr;
  const void* inImag = nullptr;
};

class FFTSetup {
 public:
  virtual ~FFTSetup() = default;
  // ORV_REALTIME: allocates nothing, never throws.
  virtual void Transform(const FFTInput& input) noexcept = 0;
  // The forward transform of z[n] = in[2n] + i·in[2n + 1] (2N floats, a real
  // signal packed for the real FFT) into split arrays, where a plan has such
  // a path (forward, one contiguous float transform); returns false and does
  // nothing otherwise. ORV_REALTIME.
  virtual bool TransformInterleaved(float* outReal, float* outImag, const float* in) noexcept {
    (void)outReal;
    (void)outImag;
    (void)in;
    return false;
  }
};

// Builds a plan owned by the caller; throws orvfft::Exception for a request
// it cannot serve.
FFTSetup* CreateFFTSetup(const FFTParam& param);

// The FFT library reports with the library's own error type.
using Exception = orv::Exception;

}  // namespace orvfft
