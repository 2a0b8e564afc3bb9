#include "dsp/OrvConvolver_RealFFT.h"

#include <cmath>

#include "common/OrvAssert.h"

namespace orv {
namespace {

bool IsPowerOfTwo(int size) { return ((size - 1) & size) == 0; }

// Bins are untangled four at a time, each lane advancing its own factor by
// w^4: four short multiplication chains instead of one long one.
constexpr int kLanes = 4;

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
  float* packedRe = workInRe.Data();
  float* packedIm = workInIm.Data();
  for (int k = 0; k < n; ++k) {
    packedRe[k] = in[2 * k];
    packedIm[k] = in[2 * k + 1];
  }
  forwardSetup->Transform(orvfft::FFTInput{workOutRe.Data(), workOutIm.Data(), packedRe, packedIm});
  const float* zRe = workOutRe.Data();
  const float* zIm = workOutIm.Data();

  outRe[0] = (zRe[0] + zIm[0]) * 0.5f;
  outIm[0] = 0.0f;
  outRe[n] = (zRe[0] - zIm[0]) * 0.5f;
  outIm[n] = 0.0f;

  // Lane j starts at t = -i·w^(1+j); t advances by w^4 per step.
  const float wr = twiddle.real(), wi = twiddle.imag();
  float tRe[kLanes], tIm[kLanes];
  tRe[0] = wi;  // -i·w
  tIm[0] = -wr;
  for (int j = 1; j < kLanes; ++j) {
    tRe[j] = tRe[j - 1] * wr - tIm[j - 1] * wi;
    tIm[j] = tRe[j - 1] * wi + tIm[j - 1] * wr;
  }
  const std::complex<float> w2 = twiddle * twiddle;
  const std::complex<float> w4 = w2 * w2;
  const float w4r = w4.real(), w4i = w4.imag();

  const int half = n / 2;
  int k = 1;
  auto untangle = [&](int bin, float tr, float ti) {
    // A = Z[k] + conj(Z[N-k]), B = Z[k] - conj(Z[N-k]).
    const float ar = zRe[bin] + zRe[n - bin], ai = zIm[bin] - zIm[n - bin];
    const float br = zRe[bin] - zRe[n - bin], bi = zIm[bin] + zIm[n - bin];
    const float tbr = tr * br - ti * bi, tbi = tr * bi + ti * br;
    outRe[bin] = 0.25f * (ar + tbr);
    outIm[bin] = 0.25f * (ai + tbi);
    outRe[n - bin] = 0.25f * (ar - tbr);
    outIm[n - bin] = -0.25f * (ai - tbi);
  };
  for (; k + kLanes - 1 <= half; k += kLanes) {
    for (int j = 0; j < kLanes; ++j) {
      untangle(k + j, tRe[j], tIm[j]);
      const float r = tRe[j] * w4r - tIm[j] * w4i;
      tIm[j] = tRe[j] * w4i + tIm[j] * w4r;
      tRe[j] = r;
    }
  }
  for (int j = 0; k <= half; ++k, ++j) untangle(k, tRe[j], tIm[j]);
}

void RealFFT::BackwardTransform(float* out, const float* inRe, const float* inIm) noexcept {
  const int n = size;
  float* zRe = workInRe.Data();
  float* zIm = workInIm.Data();
  zRe[0] = inRe[0] + inRe[n];
  zIm[0] = inRe[0] - inRe[n];

  // Lane j starts at u = i·conj(w)^(1+j); u advances by conj(w)^4 per step.
  const float wr = twiddle.real(), wi = -twiddle.imag();  // conj(w)
  float uRe[kLanes], uIm[kLanes];
  uRe[0] = -wi;  // i·conj(w)
  uIm[0] = wr;
  for (int j = 1; j < kLanes; ++j) {
    uRe[j] = uRe[j - 1] * wr - uIm[j - 1] * wi;
    uIm[j] = uRe[j - 1] * wi + uIm[j - 1] * wr;
  }
  const std::complex<float> c2 = std::conj(twiddle) * std::conj(twiddle);
  const std::complex<float> c4 = c2 * c2;
  const float c4r = c4.real(), c4i = c4.imag();

  const int half = n / 2;
  int k = 1;
  auto tangle = [&](int bin, float ur, float ui) {
    // A = X[k] + conj(X[N-k]), B = X[k] - conj(X[N-k]).
    const float ar = inRe[bin] + inRe[n - bin], ai = inIm[bin] - inIm[n - bin];
    const float br = inRe[bin] - inRe[n - bin], bi = inIm[bin] + inIm[n - bin];
    const float ubr = ur * br - ui * bi, ubi = ur * bi + ui * br;
    zRe[bin] = ar + ubr;
    zIm[bin] = ai + ubi;
    zRe[n - bin] = ar - ubr;
    zIm[n - bin] = -(ai - ubi);
  };
  for (; k + kLanes - 1 <= half; k += kLanes) {
    for (int j = 0; j < kLanes; ++j) {
      tangle(k + j, uRe[j], uIm[j]);
      const float r = uRe[j] * c4r - uIm[j] * c4i;
      uIm[j] = uRe[j] * c4i + uIm[j] * c4r;
      uRe[j] = r;
    }
  }
  for (int j = 0; k <= half; ++k, ++j) tangle(k, uRe[j], uIm[j]);

  backwardSetup->Transform(orvfft::FFTInput{workOutRe.Data(), workOutIm.Data(), zRe, zIm});
  const float* resultRe = workOutRe.Data();
  const float* resultIm = workOutIm.Data();
  for (int k2 = 0; k2 < n; ++k2) {
    out[2 * k2] = resultRe[k2];
    out[2 * k2 + 1] = resultIm[k2];
  }
}

}  // namespace orv
