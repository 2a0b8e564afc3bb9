// DualMiniConvolver: streaming overlap-add convolution of one mono input with
// two fixed responses of N taps (left and right ear), producing interleaved
// stereo. Input arrives in runs of any length; every N samples a block step
// transforms the zero-padded block (2N real FFT), multiplies it by both
// response spectra, transforms back and adds the previous block's overlap.
//
// Output lags input by exactly N samples and has a gain of one half (the
// real FFT's forward transform yields half the spectrum): output sample j of
// block k + 1 is y[k·N + j] / 2, y the linear convolution.
//
// Blocks without significant input skip the transforms; HasOutput() tells
// callers when the whole convolver is idle and may be skipped.
#pragma once

#include "dsp/OrvConvolver_RealFFT.h"
#include "dsp/OrvInternals_AlignedArray.h"

namespace orv {

class DualMiniConvolver {
 public:
  // size = N: a power of two, at least 4. Both responses hold N taps; their
  // spectra are computed here, once.
  DualMiniConvolver(const float* leftResponse, const float* rightResponse, int size);
  // Copies every array and field; the copy shares the FFT plans, so the two
  // must not run block steps at the same time.
  DualMiniConvolver(const DualMiniConvolver& other) = default;
  DualMiniConvolver& operator=(const DualMiniConvolver&) = delete;

  // Adds count stereo frames into output (2·count floats, interleaved),
  // left on even indices unless swap. With silent, the input is zeros and
  // inData is not read. ORV_REALTIME: allocates nothing.
  template <bool swap, bool silent>
  void ApplyAdditive(unsigned int count, const float* inData, float* output) noexcept;

  // The block step, run when N samples have been gathered. ORV_REALTIME.
  void BufferFull() noexcept;

  // False only when the output arrays hold nothing but zeros.
  bool HasOutput() const noexcept { return hasOutput; }
  int Size() const noexcept { return size; }

 private:
  AlignedArray<float> leftSpectrumRe, leftSpectrumIm;
  AlignedArray<float> rightSpectrumRe, rightSpectrumIm;
  AlignedArray<float> productRe, productIm;
  AlignedArray<float> rightProductRe, rightProductIm;
  AlignedArray<float> input;                    // [0, N): current block; [N, 2N): always zero
  AlignedArray<float> leftOutput, rightOutput;  // [0, N): this block; [N, 2N): overlap
  AlignedArray<float> leftTail, rightTail;
  int size;
  int position = 0;  // next sample within the block
  RealFFT fft;
  bool inputActive = false;  // a significant sample arrived since the last step
  bool hasOutput = false;
};

extern template void DualMiniConvolver::ApplyAdditive<false, false>(unsigned int, const float*,
                                                                    float*) noexcept;
extern template void DualMiniConvolver::ApplyAdditive<false, true>(unsigned int, const float*,
                                                                   float*) noexcept;
extern template void DualMiniConvolver::ApplyAdditive<true, false>(unsigned int, const float*,
                                                                   float*) noexcept;
extern template void DualMiniConvolver::ApplyAdditive<true, true>(unsigned int, const float*,
                                                                  float*) noexcept;

}  // namespace orv
