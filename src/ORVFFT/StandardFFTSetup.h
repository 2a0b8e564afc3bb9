// Plans: the one-dimensional StandardFFTSetup (a list of radix passes over
// one shared twiddle table) and MultidimensionalFFTSetup, which runs one
// batched one-dimensional plan per dimension.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "ORVFFT/Kernel.h"
#include "ORVFFT/OrvFFT.h"
#include "ORVFFT/Twiddles.h"

namespace orvfft {

template <DataType type>
struct ElementOf;
template <>
struct ElementOf<kDataTypeFloat> {
  using Type = float;
};
template <>
struct ElementOf<kDataTypeDouble> {
  using Type = double;
};

// A one-dimensional plan. With `parallel` > 1 each call runs `parallel`
// transforms whose first elements lie `distance` bytes apart. At feature level
// 0 every pass uses the generic kernel; at level 1 contiguous float passes use
// the vector kernel.
template <cpu::FeatureLevel level, DataType type, bool backward>
class StandardFFTSetup final : public FFTSetup {
 public:
  using T = typename ElementOf<type>::Type;

  // Throws orvfft::Exception for a length with a prime factor other than 2, 3.
  explicit StandardFFTSetup(const FFTParam& param);

  // ORV_REALTIME: allocates nothing. Overwrites the plan's work arrays, so a
  // plan serves one thread at a time.
  void Transform(const FFTInput& input) noexcept override;

  std::size_t PassCount() const noexcept { return steps.size(); }
  const kernel::KernelParam& PassParam(std::size_t i) const noexcept { return steps[i].param; }
  const std::shared_ptr<Twiddles>& SharedTwiddles() const noexcept { return twiddles; }

 private:
  // One pass with its fixed parameters bound. `run` transforms the data
  // arrays in place through the work arrays; `pass`, where the vector kernel
  // serves, goes from one pair of arrays to another without copying back.
  struct Step {
    kernel::KernelParam param;
    void (*run)(const kernel::KernelParam&, const kernel::KernelData<T>&) noexcept;
    void (*pass)(const kernel::KernelParam&, const T*, const T*, T*, T*) noexcept;
    void operator()(const kernel::KernelData<T>& data) const noexcept { run(param, data); }
  };

  void AppendStep(std::uint32_t radix, std::size_t innerCount, std::size_t pass);
  void CopyIn(T* out, const T* in) const noexcept;
  // One transform by passes that alternate between the output and the work
  // arrays, ending in the output.
  void TransformAlternating(T* outReal, T* outImag, const T* inReal, const T* inImag,
                            bool isInPlace) noexcept;

  bool isBackward;
  std::size_t size;  // N, the one length
  std::size_t stride;
  std::size_t parallel;
  std::size_t distance;
  DataType dataType;
  std::vector<Step> steps;
  std::shared_ptr<Twiddles> twiddles;
  std::vector<T> workReal;  // N + 4 elements: room to start on a 16-byte boundary
  std::vector<T> workImag;
  bool isAlternating = false;  // every step has a `pass`
};

// Several dimensions, innermost first: one plan per dimension, each batched
// over the others.
class MultidimensionalFFTSetup final : public FFTSetup {
 public:
  explicit MultidimensionalFFTSetup(const FFTParam& param);
  void Transform(const FFTInput& input) noexcept override;

 private:
  struct Level {
    std::shared_ptr<FFTSetup> setup;
    std::size_t extent;  // bytes over which the plan repeats
    std::size_t step;    // bytes between repetitions
  };
  std::vector<Level> levels;
};

}  // namespace orvfft
