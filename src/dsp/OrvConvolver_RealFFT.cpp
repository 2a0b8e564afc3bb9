#include "dsp/OrvConvolver_RealFFT.h"

#include <cmath>

#include "common/OrvAssert.h"
#include "dsp/OrvInternals_Vector.h"

namespace orv {
namespace {

bool IsPowerOfTwo(int size) { return ((size - 1) & size) == 0; }

}  // namespace

orvfft::FFTSetup* CreateFFT(int size, bool backward) {
  orvfft::FFTParam param;
  param.size = {static_cast<std::size_t>(size)};
  param.backward = backward;
  return orvfft::CreateFFTSetup(param);
}

RealFFT::RealFFT(int size) : size(size) {
  ORV_ASSERT(IsPowerOfTwo(size), "OrvConvolver");
  forwardSetup.reset(CreateFFT(size, false));
  backwardSetup.reset(CreateFFT(size, true));
  workInRe.resize(size);
  workInIm.resize(size);
  workOutRe.resize(size);
  workOutIm.resize(size);
  const float theta = static_cast<float>(-3.141592653589793 / size);
  twiddle = std::complex<float>(std::cos(theta), std::sin(theta));
}

RealFFT::RealFFT(const RealFFT& other)
    : workInRe(other.workInRe),
      workInIm(other.workInIm),
      workOutRe(other.workOutRe),
      workOutIm(other.workOutIm),
      size(other.size),
      forwardSetup(other.forwardSetup),
      backwardSetup(other.backwardSetup),
      twiddle(other.twiddle) {}

void RealFFT::ForwardTransform(float* outRe, float* outIm, const float* in) noexcept {
  const int n = size;
  Deinterleave(n, workInRe.Data(), workInIm.Data(), in);
  forwardSetup->Transform(
      orvfft::FFTInput{workOutRe.Data(), workOutIm.Data(), workInRe.Data(), workInIm.Data()});
  const float* zRe = workOutRe.Data();
  const float* zIm = workOutIm.Data();
  outRe[0] = (zRe[0] + zIm[0]) * 0.5f;
  outIm[0] = 0.0f;
  outRe[n] = (zRe[0] - zIm[0]) * 0.5f;
  outIm[n] = 0.0f;
  // Bin k = (A + t·B) / 4 with t = -i·w^k: the halves of the even and odd
  // samples' spectra, each halved once more for the half-spectrum convention.
  const std::complex<float> minusIW(twiddle.imag(), -twiddle.real());
  UntangleSpectrum(n, outRe, outIm, zRe, zIm, minusIW, twiddle, 0.25f);
}

void RealFFT::BackwardTransform(float* out, const float* inRe, const float* inIm) noexcept {
  const int n = size;
  float* zRe = workInRe.Data();
  float* zIm = workInIm.Data();
  zRe[0] = inRe[0] + inRe[n];
  zIm[0] = inRe[0] - inRe[n];
  // z[k] = A + u·B with u = i·conj(w)^k, unscaled: the inverse of the
  // forward untangling times 4, which with the half spectrum gives N·x.
  const std::complex<float> conjW = std::conj(twiddle);
  const std::complex<float> iConjW(-conjW.imag(), conjW.real());
  UntangleSpectrum(n, zRe, zIm, inRe, inIm, iConjW, conjW, 1.0f);
  backwardSetup->Transform(orvfft::FFTInput{workOutRe.Data(), workOutIm.Data(), zRe, zIm});
  Interleave(n, out, workOutRe.Data(), workOutIm.Data());
}

}  // namespace orv
