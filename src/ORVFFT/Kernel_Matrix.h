// The matrix kernels: whole forward transforms of power-of-two lengths up to
// 1024 on contiguous split (or interleaved real) floats, as two stages of
// unrolled DFTs around one transpose, 4 or 8 lanes wide. Used by
// MatrixFFTSetup; see Kernel_Matrix.inl for the algorithm.
#pragma once

#include <cstddef>

#include "ORVFFT/OrvFFT.h"

namespace orvfft::kernel {

// out = DFT(in), forward, unscaled. in/out may be the same arrays, any
// alignment; tw holds W_N^(n2·k1) at k1·columns + n2 and is 32-byte aligned.
// ORV_REALTIME: allocates nothing (uses 8·N bytes of stack).
using MatrixSplitKernel = void (*)(float* outRe, float* outIm, const float* inRe, const float* inIm,
                                   const float* twRe, const float* twIm) noexcept;
// The same transform of z[n] = in[2n] + i·in[2n + 1] (2N floats): the real
// FFT's packing with the deinterleave folded in.
using MatrixInterleavedKernel = void (*)(float* outRe, float* outIm, const float* in,
                                         const float* twRe, const float* twIm) noexcept;

struct MatrixKernel {
  std::size_t rows = 0;     // N1
  std::size_t columns = 0;  // N2
  MatrixSplitKernel split = nullptr;
  MatrixInterleavedKernel interleaved = nullptr;
};

// The kernel for length n at that level (which the processor must support),
// or one with null functions where none serves. Served: powers of two from
// width² (16 at 4 lanes, 64 at 8) up to 1024; the scalar level has none.
MatrixKernel FindMatrixKernel(cpu::FeatureLevel level, std::size_t n) noexcept;

}  // namespace orvfft::kernel
