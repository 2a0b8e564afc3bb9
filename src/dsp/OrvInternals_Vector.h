// The array kernels under the convolvers and the engine's mix: accumulation
// of one to four sources, split-complex multiplication and scaling.
//
// Each kernel takes a vector path when every pointer it touches is 16-byte
// aligned and n ≥ 4 (AlignedArray guarantees the alignment), 8-wide where
// the processor has AVX2 and FMA (orv::simd::ActiveLevel) and 4-wide
// otherwise, and a scalar path for the rest; all give the same values up to
// the order of additions. n must not exceed any array's length. No allocation, no locks:
// ORV_REALTIME.
#pragma once

#include <complex>
#include <cstddef>

namespace orv {

// dst[i] += a[i] (+ b[i] + c[i] + d[i]). The vector path adds the sources to
// dst from left to right; the scalar path sums the sources first. With one
// source every path gives the same values, so it also takes a vector path
// on unaligned arrays.
void Accumulate(std::size_t n, float* dst, const float* a) noexcept;
void Accumulate(std::size_t n, float* dst, const float* a, const float* b) noexcept;
void Accumulate(std::size_t n, float* dst, const float* a, const float* b, const float* c) noexcept;
void Accumulate(std::size_t n, float* dst, const float* a, const float* b, const float* c,
                const float* d) noexcept;

// out1 = x · h1 and out2 = x · h2 over n split-complex values. out1 may be x
// (each element's products are formed before either is stored); no other
// overlap is allowed.
void ComplexMultiply(std::size_t n, float* out1Re, float* out1Im, float* out2Re, float* out2Im,
                     const float* xRe, const float* xIm, const float* h1Re, const float* h1Im,
                     const float* h2Re, const float* h2Im) noexcept;

// buffer[i] *= factor.
void Scale(std::size_t n, float* buffer, float factor) noexcept;

// The real FFT's packing: even[k] = in[2k], odd[k] = in[2k + 1] for k < n,
// and back: out[2k] = even[k], out[2k + 1] = odd[k]. Vector path when all
// pointers are aligned and n ≥ 4.
void Deinterleave(std::size_t n, float* even, float* odd, const float* in) noexcept;
void Interleave(std::size_t n, float* out, const float* even, const float* odd) noexcept;

// The real FFT's untangling pass (below) with its factors from a table:
// t_k = (tRe[k-1], tIm[k-1]) for k = 1 .. n/2, and n a power of two ≥ 2.
// Nothing is carried from bin to bin, so the bins run independently, 8 or 4
// at a time where the processor can; any alignment.
void UntangleSpectrum(std::size_t n, float* outRe, float* outIm, const float* zRe, const float* zIm,
                      const float* tRe, const float* tIm, float scale) noexcept;

// The real FFT's untangling pass over a complex sequence z of n values
// (n a power of two ≥ 2): for k = 1 .. n/2, with A = z[k] + conj(z[n-k]),
// B = z[k] - conj(z[n-k]) and t_k = first · step^(k-1),
//   out[k] = scale·(A + t_k·B),  out[n-k] = scale·conj(A - t_k·B).
// At k = n/2 both address one element and the second is stored (the real
// FFT's factors make the two equal there). Elements 0 of out are not
// written; out must not overlap z. The factors
// come from four chains advanced by step^4. Vector path when all four
// pointers are aligned and n ≥ 8; both paths compute alike.
void UntangleSpectrum(std::size_t n, float* outRe, float* outIm, const float* zRe, const float* zIm,
                      std::complex<float> first, std::complex<float> step, float scale) noexcept;

// acc1 += x · h1 and acc2 += x · h2 over n split-complex values: one input
// spectrum filtered by two responses into two running sums (the binaural
// stage's per-ear accumulators). No array may overlap another.
void ComplexMultiplyAccumulate(std::size_t n, float* acc1Re, float* acc1Im, float* acc2Re,
                               float* acc2Im, const float* xRe, const float* xIm, const float* h1Re,
                               const float* h1Im, const float* h2Re, const float* h2Im) noexcept;

// dst[i] = src[i], with every non-finite value replaced by 0; returns the
// largest magnitude stored. Any alignment; dst and src must not overlap.
// Keeps one bad voice from poisoning a shared sum.
float CopyFinite(std::size_t n, float* dst, const float* src) noexcept;

}  // namespace orv
