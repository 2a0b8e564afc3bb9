#include "ORVFFT/StandardFFTSetup.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>

#include "ORVFFT/MatrixFFTSetup.h"
#include "common/OrvAssert.h"
#include "common/OrvSimd.h"

namespace orvfft {
namespace {

constexpr const char* kUnit = "ORVFFT/StandardFFTSetup";

template <typename T>
T* AlignUp16(T* p) noexcept {
  const auto address = reinterpret_cast<std::uintptr_t>(p);
  return reinterpret_cast<T*>((address + 15u) & ~std::uintptr_t{15u});
}

template <typename T>
T* ByteOffset(T* p, std::size_t bytes) noexcept {
  return reinterpret_cast<T*>(reinterpret_cast<char*>(p) + bytes);
}
template <typename T>
const T* ByteOffset(const T* p, std::size_t bytes) noexcept {
  return reinterpret_cast<const T*>(reinterpret_cast<const char*>(p) + bytes);
}

}  // namespace

namespace cpu {

bool Supports(FeatureLevel level) noexcept {
  return static_cast<int>(level) <= static_cast<int>(orv::simd::ActiveLevel());
}

}  // namespace cpu

template <cpu::FeatureLevel level, DataType type, bool backward>
StandardFFTSetup<level, type, backward>::StandardFFTSetup(const FFTParam& param)
    : isBackward(param.backward),
      size(param.size.empty() ? 0 : param.size[0]),
      stride(param.stride),
      parallel(param.parallel),
      distance(param.distance),
      dataType(param.dataType) {
  ORV_ASSERT(param.size.size() == 1, kUnit);
  ORV_ASSERT(size > 0, kUnit);
  // Tables and factorisation count in 32 bits; a longer length would be cut
  // to a different one.
  if (size > std::numeric_limits<std::uint32_t>::max()) throw Exception("Size too large.");
  twiddles = Twiddles::GetInstance(static_cast<unsigned>(size));
  workReal.resize(size + 4);
  workImag.resize(size + 4);

  std::size_t innerCount = 1;
  std::size_t pass = 0;
  for (std::uint32_t remaining = static_cast<std::uint32_t>(size); remaining >= 2;) {
    const std::uint32_t radix = NextRadix(remaining);
    if (radix == 0) throw Exception("Failed to create FFT plan. Radix not found.");
    AppendStep(radix, innerCount, pass);
    innerCount *= radix;
    ++pass;
    remaining /= radix;
  }
  // Alternating needs batches that do not overlap.
  isAlternating = !steps.empty() && (parallel <= 1 || distance >= stride * size);
  for (const Step& step : steps) isAlternating = isAlternating && step.pass != nullptr;
}

template <cpu::FeatureLevel level, DataType type, bool backward>
void StandardFFTSetup<level, type, backward>::AppendStep(std::uint32_t radix,
                                                         std::size_t innerCount, std::size_t pass) {
  Step step{};
  step.param.twiddles = twiddles.get();
  step.param.radix = radix;
  step.param.stride = stride;
  step.param.innerCount = innerCount;
  step.param.size = size;
  step.param.groupCount = size / innerCount / radix;
  step.param.twiddleOffset = twiddles->LevelOffsets().at(pass);
  step.param.butterflyCount = size / radix;
  step.run = &kernel::Generic<T, backward>;
  step.pass = nullptr;
  if constexpr (type == kDataTypeFloat && level >= cpu::kFeatureLevelSimd4) {
    if (stride == sizeof(float) && cpu::Supports(cpu::kFeatureLevelSimd4)) {
      step.run = &kernel::Simd<kDataTypeFloat, backward, cpu::kFeatureLevelSimd4>;
      step.pass = &kernel::SimdPass<backward>;
    }
  }
  steps.push_back(step);
}

template <cpu::FeatureLevel level, DataType type, bool backward>
void StandardFFTSetup<level, type, backward>::CopyIn(T* out, const T* in) const noexcept {
  const std::size_t bytesPerTransform = stride * size;
  if (stride == sizeof(T) && (parallel == 1 || distance == bytesPerTransform)) {
    std::memcpy(out, in, (parallel - 1) * distance + bytesPerTransform);
    return;
  }
  // Strided or scattered: copy only the elements, so whatever lies between
  // them in the output stays as the caller left it.
  for (std::size_t b = 0; b < parallel; ++b) {
    for (std::size_t n = 0; n < size; ++n) {
      const std::size_t offset = b * distance + n * stride;
      *ByteOffset(out, offset) = *ByteOffset(in, offset);
    }
  }
}

template <cpu::FeatureLevel level, DataType type, bool backward>
void StandardFFTSetup<level, type, backward>::Transform(const FFTInput& input) noexcept {
  if (parallel == 0) return;
  T* outReal = static_cast<T*>(input.outReal);
  T* outImag = static_cast<T*>(input.outImag);
  const T* inReal = static_cast<const T*>(input.inReal);
  const T* inImag = static_cast<const T*>(input.inImag);

  if (isAlternating) {
    const bool isInPlace = inReal == outReal || inImag == outImag;
    for (std::size_t b = 0; b < parallel; ++b) {
      const std::size_t offset = b * distance;
      TransformAlternating(ByteOffset(outReal, offset), ByteOffset(outImag, offset),
                           ByteOffset(inReal, offset), ByteOffset(inImag, offset), isInPlace);
    }
    return;
  }

  if (inReal != outReal) CopyIn(outReal, inReal);
  if (inImag != outImag) CopyIn(outImag, inImag);
  kernel::KernelData<T> data;
  data.workReal = AlignUp16(workReal.data());
  data.workImag = AlignUp16(workImag.data());
  for (std::size_t b = 0; b < parallel; ++b) {
    data.real = ByteOffset(outReal, b * distance);
    data.imag = ByteOffset(outImag, b * distance);
    for (const Step& step : steps) step(data);
  }
}

template <cpu::FeatureLevel level, DataType type, bool backward>
void StandardFFTSetup<level, type, backward>::TransformAlternating(T* outReal, T* outImag,
                                                                   const T* inReal, const T* inImag,
                                                                   bool isInPlace) noexcept {
  T* const work[2] = {AlignUp16(workReal.data()), AlignUp16(workImag.data())};
  // The last pass must write the output, so with an odd number of passes the
  // first one does, reading the input directly. In place that would read and
  // write one array in one pass: then the first pass goes to the work arrays
  // and the result is copied at the end.
  bool toOutput = steps.size() % 2 == 1 && !isInPlace;
  const T* sourceReal = inReal;
  const T* sourceImag = inImag;
  for (const Step& step : steps) {
    T* destinationReal = toOutput ? outReal : work[0];
    T* destinationImag = toOutput ? outImag : work[1];
    step.pass(step.param, sourceReal, sourceImag, destinationReal, destinationImag);
    sourceReal = destinationReal;
    sourceImag = destinationImag;
    toOutput = !toOutput;
  }
  if (sourceReal != outReal) {
    std::memcpy(outReal, sourceReal, size * sizeof(T));
    std::memcpy(outImag, sourceImag, size * sizeof(T));
  }
}

template class StandardFFTSetup<cpu::kFeatureLevelGeneric, kDataTypeFloat, false>;
template class StandardFFTSetup<cpu::kFeatureLevelGeneric, kDataTypeFloat, true>;
template class StandardFFTSetup<cpu::kFeatureLevelGeneric, kDataTypeDouble, false>;
template class StandardFFTSetup<cpu::kFeatureLevelGeneric, kDataTypeDouble, true>;
template class StandardFFTSetup<cpu::kFeatureLevelSimd4, kDataTypeFloat, false>;
template class StandardFFTSetup<cpu::kFeatureLevelSimd4, kDataTypeFloat, true>;

MultidimensionalFFTSetup::MultidimensionalFFTSetup(const FFTParam& param) {
  if (param.parallel >= 2) {
    throw Exception("Multi-dimensional parallel transformation is not supported.");
  }
  std::size_t total = 1;
  for (const std::size_t n : param.size) total *= n;
  std::size_t span = param.stride;  // bytes between neighbours of the current dimension
  for (std::size_t d = 0; d < param.size.size(); ++d) {
    FFTParam one;
    one.backward = param.backward;
    one.dataType = param.dataType;
    one.size = {param.size[d]};
    one.stride = span;
    Level entry{};
    if (d == 0) {
      // Every row at once, rows lying one after the other.
      one.parallel = total / param.size[0];
      one.distance = span * param.size[0];
      entry.extent = 1;
      entry.step = 1;
    } else {
      // All the earlier dimensions' positions at once, interleaved; repeated
      // for every position of the later dimensions.
      one.parallel = span / param.stride;
      one.distance = param.stride;
      entry.step = param.size[d] * span;
      entry.extent = param.stride * total;
    }
    entry.setup.reset(CreateFFTSetup(one));
    levels.push_back(std::move(entry));
    span *= param.size[d];
  }
}

void MultidimensionalFFTSetup::Transform(const FFTInput& input) noexcept {
  levels[0].setup->Transform(input);
  for (std::size_t l = 1; l < levels.size(); ++l) {
    const Level& level = levels[l];
    for (std::size_t offset = 0; offset < level.extent; offset += level.step) {
      FFTInput inPlace;
      inPlace.outReal = static_cast<char*>(input.outReal) + offset;
      inPlace.outImag = static_cast<char*>(input.outImag) + offset;
      inPlace.inReal = inPlace.outReal;
      inPlace.inImag = inPlace.outImag;
      level.setup->Transform(inPlace);
    }
  }
}

namespace {

template <cpu::FeatureLevel level, DataType type>
FFTSetup* MakeStandard(const FFTParam& param) {
  if (param.backward) return new StandardFFTSetup<level, type, true>(param);
  return new StandardFFTSetup<level, type, false>(param);
}

}  // namespace

FFTSetup* CreateFFTSetup(const FFTParam& param) {
  if (param.size.empty()) throw Exception("The number of dimensions is zero.");
  for (const std::size_t n : param.size) {
    if (n == 0) throw Exception("Zero size.");
  }
  if (param.size.size() > 1) return new MultidimensionalFFTSetup(param);
  for (const cpu::FeatureLevel level : {cpu::kFeatureLevelSimd8, cpu::kFeatureLevelSimd4}) {
    if (!cpu::Supports(level)) continue;
    if (auto matrix = MatrixFFTSetup::Create(param, level)) return matrix.release();
  }
  switch (param.dataType) {
    case kDataTypeFloat:
      if (cpu::Supports(cpu::kFeatureLevelSimd4)) {
        return MakeStandard<cpu::kFeatureLevelSimd4, kDataTypeFloat>(param);
      }
      return MakeStandard<cpu::kFeatureLevelGeneric, kDataTypeFloat>(param);
    case kDataTypeDouble: return MakeStandard<cpu::kFeatureLevelGeneric, kDataTypeDouble>(param);
    default: throw Exception("Invalid data type.");
  }
}

}  // namespace orvfft
