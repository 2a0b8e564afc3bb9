#include "dsp/OrvConvolver.h"

#include <algorithm>
#include <cmath>

#include "common/OrvAssert.h"
#include "common/OrvBits.h"
#include "dsp/OrvInternals_Vector.h"

namespace orv {
namespace {

// Below this magnitude an input sample is inaudible rounding noise: a block of
// such samples is treated as silent and skips the transforms.
constexpr float kSignificantInput = 1e-10f;

}  // namespace

DualMiniConvolver::DualMiniConvolver(const float* leftResponse, const float* rightResponse,
                                     int size)
    : size(size), fft(size) {
  ORV_ASSERT(IsPowerOfTwo(size), "OrvConvolver");
  const int n = size;
  for (AlignedArray<float>* bins :
       {&leftSpectrumRe, &leftSpectrumIm, &rightSpectrumRe, &rightSpectrumIm, &productRe,
        &productIm, &rightProductRe, &rightProductIm}) {
    bins->resize(n + 1);
  }
  for (AlignedArray<float>* block : {&input, &leftOutput, &rightOutput}) {
    block->resize(2 * n);
    std::fill(block->begin(), block->end(), 0.0f);
  }
  leftTail.resize(n);
  rightTail.resize(n);

  std::copy(leftResponse, leftResponse + n, input.Data());
  fft.ForwardTransform(leftSpectrumRe.Data(), leftSpectrumIm.Data(), input.Data());
  std::copy(rightResponse, rightResponse + n, input.Data());
  fft.ForwardTransform(rightSpectrumRe.Data(), rightSpectrumIm.Data(), input.Data());
  std::fill(input.begin(), input.end(), 0.0f);
}

template <bool swap, bool silent>
void DualMiniConvolver::ApplyAdditive(unsigned int count, const float* inData,
                                      float* output) noexcept {
  if constexpr (!silent) ORV_ASSERT(inData, "OrvInternals");
  // Runs up to the next block boundary go in one sweep.
  while (count > 0) {
    const unsigned int run = std::min(count, static_cast<unsigned int>(size - position));
    const float* left = leftOutput.Data() + position;
    const float* right = rightOutput.Data() + position;
    for (unsigned int i = 0; i < run; ++i) {
      output[2 * i] += swap ? right[i] : left[i];
      output[2 * i + 1] += swap ? left[i] : right[i];
    }
    float* block = input.Data() + position;
    if constexpr (silent) {
      std::fill(block, block + run, 0.0f);
    } else {
      bool significant = false;
      for (unsigned int i = 0; i < run; ++i) {
        const float x = inData[i];
        block[i] = x;
        // NaN compares false both ways and does not count.
        significant |= (x < -kSignificantInput) | (x > kSignificantInput);
      }
      if (significant) {
        inputActive = true;
        hasOutput = true;
      }
      inData += run;
    }
    output += 2 * run;
    count -= run;
    position += static_cast<int>(run);
    if (position == size) BufferFull();
  }
}

void DualMiniConvolver::BufferFull() noexcept {
  const int n = size;
  if (inputActive) {
    fft.ForwardTransform(productRe.Data(), productIm.Data(), input.Data());
    ComplexMultiply(n + 1, productRe.Data(), productIm.Data(), rightProductRe.Data(),
                    rightProductIm.Data(), productRe.Data(), productIm.Data(),
                    leftSpectrumRe.Data(), leftSpectrumIm.Data(), rightSpectrumRe.Data(),
                    rightSpectrumIm.Data());
    std::copy(leftOutput.Data() + n, leftOutput.Data() + 2 * n, leftTail.Data());
    std::copy(rightOutput.Data() + n, rightOutput.Data() + 2 * n, rightTail.Data());
    fft.BackwardTransform(leftOutput.Data(), productRe.Data(), productIm.Data());
    fft.BackwardTransform(rightOutput.Data(), rightProductRe.Data(), rightProductIm.Data());
    // The round trip of the real FFT multiplies by N.
    const float scale = 1.0f / static_cast<float>(n);
    Scale(2 * n, leftOutput.Data(), scale);
    Scale(2 * n, rightOutput.Data(), scale);
    Accumulate(n, leftOutput.Data(), leftTail.Data());
    Accumulate(n, rightOutput.Data(), rightTail.Data());
    hasOutput = true;
  } else {
    // A silent block only moves the overlap forward.
    hasOutput = false;
    float* left = leftOutput.Data();
    float* right = rightOutput.Data();
    for (int i = 0; i < n; ++i) {
      const float l = left[n + i], r = right[n + i];
      left[i] = l;
      right[i] = r;
      // NaN must keep the convolver awake so that it is seen downstream.
      if (l != 0.0f || r != 0.0f) hasOutput = true;
    }
    std::fill(left + n, left + 2 * n, 0.0f);
    std::fill(right + n, right + 2 * n, 0.0f);
  }
  position = 0;
  inputActive = false;
}

template void DualMiniConvolver::ApplyAdditive<false, false>(unsigned int, const float*,
                                                             float*) noexcept;
template void DualMiniConvolver::ApplyAdditive<false, true>(unsigned int, const float*,
                                                            float*) noexcept;
template void DualMiniConvolver::ApplyAdditive<true, false>(unsigned int, const float*,
                                                            float*) noexcept;
template void DualMiniConvolver::ApplyAdditive<true, true>(unsigned int, const float*,
                                                           float*) noexcept;

}  // namespace orv
