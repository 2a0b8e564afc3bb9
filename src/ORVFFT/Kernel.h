// One pass of the self-sorting (Stockham) decimation-in-frequency FFT on
// split-complex data. Each pass reads the data arrays, writes its butterflies
// into the work arrays and copies them back, so the last pass leaves the
// transform in natural order with no bit reversal.
//
// With radix r, P = innerCount, M = groupCount and Q = N / r, group p and
// inner index q read a_s = x[q + P·p + s·Q] (s < r) and write
// y[q + P·(r·p + k)] = b_k · w_k, b being the length-r DFT of a in the plan's
// direction and w_k the pass's factor for (k, p) (1 for p = 0; conjugated in
// forward passes).
#pragma once

#include <cstddef>
#include <cstdint>

#include "ORVFFT/OrvFFT.h"

namespace orvfft {

class Twiddles;

namespace kernel {

// Fixed per pass.
struct KernelParam {
  const Twiddles* twiddles = nullptr;
  std::uint32_t radix = 0;         // r: 2, 3 or 4
  std::size_t stride = 0;          // bytes between elements in the data arrays
  std::size_t innerCount = 0;      // P: product of the earlier passes' radices
  std::size_t size = 0;            // N
  std::size_t groupCount = 0;      // M = N / (P · r)
  std::size_t twiddleOffset = 0;   // this pass's first factor in the table
  std::size_t butterflyCount = 0;  // N / r
};

// Per call. real/imag are transformed in place; the work arrays hold at least
// N elements and start on 16-byte boundaries.
template <typename T>
struct KernelData {
  T* real = nullptr;
  T* imag = nullptr;
  T* workReal = nullptr;
  T* workImag = nullptr;
};

// Any element type, stride and direction. ORV_REALTIME: allocates nothing.
template <typename T, bool backward>
void Generic(const KernelParam& param, const KernelData<T>& data) noexcept;

// 4-wide single precision, contiguous floats only (stride 4), any alignment of
// the data arrays. Same results as Generic up to rounding.
// ORV_REALTIME: allocates nothing.
template <DataType type, bool backward, cpu::FeatureLevel level>
void Simd(const KernelParam& param, const KernelData<float>& data) noexcept;

// The same pass from a source into a destination, without the copy back:
// plans alternate two pairs of arrays between passes and so save a copy of
// N elements per pass. The source is only read; the two must not overlap.
// Either may have any alignment. ORV_REALTIME: allocates nothing.
template <bool backward>
void SimdPass(const KernelParam& param, const float* sourceReal, const float* sourceImag,
              float* destinationReal, float* destinationImag) noexcept;

}  // namespace kernel
}  // namespace orvfft
