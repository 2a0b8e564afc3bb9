#include "ORVFFT/MatrixFFTSetup.h"

#include <cmath>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace orvfft {
namespace {

float* AlignUp32(float* p) noexcept {
  const auto address = reinterpret_cast<std::uintptr_t>(p);
  return reinterpret_cast<float*>((address + 31u) & ~std::uintptr_t{31u});
}

template <typename T>
T* ByteOffset(T* p, std::size_t bytes) noexcept {
  using Byte = std::conditional_t<std::is_const_v<T>, const char, char>;
  return reinterpret_cast<T*>(reinterpret_cast<Byte*>(p) + bytes);
}

}  // namespace

std::unique_ptr<MatrixFFTSetup> MatrixFFTSetup::Create(const FFTParam& param,
                                                       cpu::FeatureLevel level) {
  if (param.dataType != kDataTypeFloat || param.size.size() != 1) return nullptr;
  if (param.stride != sizeof(float)) return nullptr;
  const std::size_t n = param.size[0];
  if (param.parallel > 1 && param.distance < n * sizeof(float)) return nullptr;
  const kernel::MatrixKernel found = kernel::FindMatrixKernel(level, n);
  if (found.split == nullptr) return nullptr;
  return std::unique_ptr<MatrixFFTSetup>(new MatrixFFTSetup(param, found));
}

MatrixFFTSetup::MatrixFFTSetup(const FFTParam& param, const kernel::MatrixKernel& kernel)
    : kernel(kernel),
      isBackward(param.backward),
      parallel(param.parallel),
      distance(param.distance) {
  const std::size_t rows = kernel.rows, columns = kernel.columns, n = rows * columns;
  // Two tables of n floats, each starting on a 32-byte boundary.
  factors.assign(2 * n + 16, 0.0f);
  float* re = AlignUp32(factors.data());
  float* im = AlignUp32(re + n);
  for (std::size_t k1 = 0; k1 < rows; ++k1) {
    for (std::size_t n2 = 0; n2 < columns; ++n2) {
      // W_N^(n2·k1), the exponent reduced first so the angle stays exact.
      const double angle =
          -2.0 * M_PI * static_cast<double>((n2 * k1) % n) / static_cast<double>(n);
      re[k1 * columns + n2] = static_cast<float>(std::cos(angle));
      im[k1 * columns + n2] = static_cast<float>(std::sin(angle));
    }
  }
  factorsRe = re;
  factorsIm = im;
}

void MatrixFFTSetup::Transform(const FFTInput& input) noexcept {
  auto* outRe = static_cast<float*>(input.outReal);
  auto* outIm = static_cast<float*>(input.outImag);
  const auto* inRe = static_cast<const float*>(input.inReal);
  const auto* inIm = static_cast<const float*>(input.inImag);
  // The backward transform is the forward one with real and imaginary parts
  // exchanged on the way in and out: swap(z) = i·conj(z), and
  // DFT(i·conj(z)) = i·conj(IDFT(z)).
  if (isBackward) {
    std::swap(outRe, outIm);
    std::swap(inRe, inIm);
  }
  for (std::size_t b = 0; b < parallel; ++b) {
    const std::size_t offset = b * distance;
    kernel.split(ByteOffset(outRe, offset), ByteOffset(outIm, offset), ByteOffset(inRe, offset),
                 ByteOffset(inIm, offset), factorsRe, factorsIm);
  }
}

bool MatrixFFTSetup::TransformInterleaved(float* outReal, float* outImag,
                                          const float* in) noexcept {
  if (isBackward || parallel != 1) return false;
  kernel.interleaved(outReal, outImag, in, factorsRe, factorsIm);
  return true;
}

}  // namespace orvfft
