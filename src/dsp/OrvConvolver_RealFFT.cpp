#include "dsp/OrvConvolver_RealFFT.h"

#include <cmath>

#include "common/OrvAssert.h"
#include "common/OrvBits.h"
#include "dsp/OrvInternals_Vector.h"

namespace orv {

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
  const int half = size / 2;
  forwardFactorRe.resize(half);
  forwardFactorIm.resize(half);
  backwardFactorRe.resize(half);
  backwardFactorIm.resize(half);
  for (int k = 1; k <= half; ++k) {
    // -i·e^(-iπk/N) = e^(-i(π/2 + πk/N)); the backward factor is its conjugate.
    const double angle = 3.141592653589793 * (0.5 + static_cast<double>(k) / size);
    forwardFactorRe[k - 1] = static_cast<float>(std::cos(angle));
    forwardFactorIm[k - 1] = static_cast<float>(-std::sin(angle));
    backwardFactorRe[k - 1] = forwardFactorRe[k - 1];
    backwardFactorIm[k - 1] = -forwardFactorIm[k - 1];
  }
}

RealFFT::RealFFT(const RealFFT& other)
    : workInRe(other.workInRe),
      workInIm(other.workInIm),
      workOutRe(other.workOutRe),
      workOutIm(other.workOutIm),
      size(other.size),
      forwardSetup(other.forwardSetup),
      backwardSetup(other.backwardSetup),
      forwardFactorRe(other.forwardFactorRe),
      forwardFactorIm(other.forwardFactorIm),
      backwardFactorRe(other.backwardFactorRe),
      backwardFactorIm(other.backwardFactorIm) {}

void RealFFT::ForwardTransform(float* outRe, float* outIm, const float* in) noexcept {
  const int n = size;
  // Plans with a path for packed real input skip the deinterleaving pass.
  if (!forwardSetup->TransformInterleaved(workOutRe.Data(), workOutIm.Data(), in)) {
    Deinterleave(n, workInRe.Data(), workInIm.Data(), in);
    forwardSetup->Transform(
        orvfft::FFTInput{workOutRe.Data(), workOutIm.Data(), workInRe.Data(), workInIm.Data()});
  }
  const float* zRe = workOutRe.Data();
  const float* zIm = workOutIm.Data();
  outRe[0] = (zRe[0] + zIm[0]) * 0.5f;
  outIm[0] = 0.0f;
  outRe[n] = (zRe[0] - zIm[0]) * 0.5f;
  outIm[n] = 0.0f;
  // Bin k = (A + t_k·B) / 4 with t_k = -i·w^k, w = e^(-iπ/N): the halves of
  // the even and odd samples' spectra, each halved once more for the
  // half-spectrum convention.
  UntangleSpectrum(n, outRe, outIm, zRe, zIm, forwardFactorRe.Data(), forwardFactorIm.Data(),
                   0.25f);
}

void RealFFT::BackwardTransform(float* out, const float* inRe, const float* inIm) noexcept {
  const int n = size;
  float* zRe = workInRe.Data();
  float* zIm = workInIm.Data();
  zRe[0] = inRe[0] + inRe[n];
  zIm[0] = inRe[0] - inRe[n];
  // z[k] = A + u_k·B with u_k = i·conj(w)^k, unscaled: the inverse of the
  // forward untangling times 4, which with the half spectrum gives N·x.
  UntangleSpectrum(n, zRe, zIm, inRe, inIm, backwardFactorRe.Data(), backwardFactorIm.Data(), 1.0f);
  backwardSetup->Transform(orvfft::FFTInput{workOutRe.Data(), workOutIm.Data(), zRe, zIm});
  Interleave(n, out, workOutRe.Data(), workOutIm.Data());
}

}  // namespace orv
