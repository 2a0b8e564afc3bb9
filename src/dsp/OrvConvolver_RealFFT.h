// RealFFT: 2N real samples to their N + 1 non-redundant bins and back, with
// one N-point complex FFT per transform (the real signal packed as N complex
// values, untangled by a twiddle pass). The forward transform delivers half
// of the unnormalised DFT; the backward one is the unnormalised inverse, so a
// round trip multiplies by N.
#pragma once

#include <memory>

#include "ORVFFT/OrvFFT.h"
#include "dsp/OrvInternals_AlignedArray.h"

namespace orv {

// A new N-point complex single-precision plan on split arrays, owned by the
// caller. Errors of the FFT library (orvfft::Exception) pass through.
orvfft::FFTSetup* CreateFFT(int size, bool backward);

class RealFFT {
 public:
  // size = N, a power of two (N ≥ 4 for the transforms); 2N-sample transforms.
  explicit RealFFT(int size);
  // Own work arrays, shared plans: the copy and the original must not
  // transform at the same time.
  RealFFT(const RealFFT& other);
  RealFFT& operator=(const RealFFT&) = delete;

  // in: 2N samples; outRe/outIm: N + 1 bins (bins 0 and N get imaginary part
  // 0). All 16-byte aligned. Bin k = X[k] / 2. ORV_REALTIME.
  void ForwardTransform(float* outRe, float* outIm, const float* in) noexcept;
  // inRe/inIm: N + 1 bins (imaginary parts of bins 0 and N are not read);
  // out: 2N samples. out[n] = Σ_k X[k]·e^(+2πi·nk/2N) over the Hermitian
  // extension of X. ORV_REALTIME.
  void BackwardTransform(float* out, const float* inRe, const float* inIm) noexcept;

  int Size() const noexcept { return size; }

 private:
  AlignedArray<float> workInRe;
  AlignedArray<float> workInIm;
  AlignedArray<float> workOutRe;
  AlignedArray<float> workOutIm;
  int size;
  std::shared_ptr<orvfft::FFTSetup> forwardSetup;
  std::shared_ptr<orvfft::FFTSetup> backwardSetup;
  // The untangling factors for k = 1 .. N/2 at k - 1, computed in double:
  // forward -i·e^(-iπk/N), backward i·e^(+iπk/N).
  AlignedArray<float> forwardFactorRe;
  AlignedArray<float> forwardFactorIm;
  AlignedArray<float> backwardFactorRe;
  AlignedArray<float> backwardFactorIm;
};

}  // namespace orv
