// Independent references for the FFT tests: a direct DFT in long double and
// the error measures the tests bound.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/OrvSimd.h"
#include "common/OrvTestUtil.h"

namespace orvtest {

// Every length 2^a · 3^b up to maxLength, ascending.
inline std::vector<std::size_t> SupportedLengths(std::size_t maxLength) {
  std::vector<std::size_t> lengths;
  for (std::size_t n = 1; n <= maxLength; ++n) {
    std::size_t r = n;
    while (r % 2 == 0) r /= 2;
    while (r % 3 == 0) r /= 3;
    if (r == 1) lengths.push_back(n);
  }
  return lengths;
}

// A split complex signal in long double, the precision of the reference.
struct ComplexSignal {
  std::vector<long double> re, im;
  std::size_t size() const { return re.size(); }
};

// Random values that are exact in float, so float and double plans see the
// same input as the reference.
inline ComplexSignal RandomComplex(std::size_t n, std::uint32_t seed) {
  const std::vector<float> re = Noise(n, seed);
  const std::vector<float> im = Noise(n, seed + 7919u);
  return {std::vector<long double>(re.begin(), re.end()),
          std::vector<long double>(im.begin(), im.end())};
}

// X_k = Σ x_n e^(∓2πi·kn/N), unscaled; the exponent's index kn is reduced
// mod N so every factor comes from one table of N exact-as-possible values.
inline ComplexSignal DirectDft(const ComplexSignal& x, bool backward) {
  const std::size_t n = x.size();
  std::vector<long double> c(n), s(n);
  const long double sign = backward ? 1.0L : -1.0L;
  for (std::size_t m = 0; m < n; ++m) {
    const long double angle = 2.0L * 3.14159265358979323846264338327950288L *
                              static_cast<long double>(m) / static_cast<long double>(n);
    c[m] = std::cos(angle);
    s[m] = sign * std::sin(angle);
  }
  ComplexSignal out{std::vector<long double>(n), std::vector<long double>(n)};
  for (std::size_t k = 0; k < n; ++k) {
    long double accRe = 0.0L, accIm = 0.0L;
    std::size_t index = 0;  // k·j mod n
    for (std::size_t j = 0; j < n; ++j) {
      accRe += x.re[j] * c[index] - x.im[j] * s[index];
      accIm += x.re[j] * s[index] + x.im[j] * c[index];
      index += k;
      if (index >= n) index -= n;
    }
    out.re[k] = accRe;
    out.im[k] = accIm;
  }
  return out;
}

// x placed every `strideElems` elements, the elements between (and three
// after the end) set to a marker that transforms must leave alone.
template <typename T>
std::vector<T> Scatter(const std::vector<long double>& x, std::size_t strideElems, T marker) {
  std::vector<T> buffer(x.size() * strideElems + 3, marker);
  for (std::size_t i = 0; i < x.size(); ++i) buffer[i * strideElems] = static_cast<T>(x[i]);
  return buffer;
}

// sqrt(Σ|a - ref|² / Σ|ref|²) over n values read `step` elements apart in a.
template <typename T>
double RelativeRmsError(const T* aRe, const T* aIm, const ComplexSignal& ref,
                        std::size_t step = 1) {
  long double err = 0.0L, norm = 0.0L;
  for (std::size_t k = 0; k < ref.size(); ++k) {
    const long double dr = static_cast<long double>(aRe[k * step]) - ref.re[k];
    const long double di = static_cast<long double>(aIm[k * step]) - ref.im[k];
    err += dr * dr + di * di;
    norm += ref.re[k] * ref.re[k] + ref.im[k] * ref.im[k];
  }
  return static_cast<double>(norm > 0.0L ? std::sqrt(err / norm) : std::sqrt(err));
}

// A float buffer whose element `offset` sits `offset` floats past a 16-byte
// boundary, with sentinels around the n elements in use.
class PlacedBuffer {
 public:
  static constexpr float kSentinel = -12345.0f;
  static constexpr std::size_t kGuard = 8;

  PlacedBuffer(std::size_t n, std::size_t offset) : n(n), storage(n + 2 * kGuard + 8, kSentinel) {
    float* p = storage.data() + kGuard;
    while (reinterpret_cast<std::uintptr_t>(p) % 16 != 0) ++p;
    begin = p + offset;
  }
  float* data() { return begin; }
  bool GuardsIntact() const {
    for (const float* p = storage.data(); p < storage.data() + storage.size(); ++p) {
      if (p >= begin && p < begin + n) continue;
      if (*p != kSentinel) return false;
    }
    return true;
  }

 private:
  std::size_t n;
  std::vector<float> storage;
  float* begin = nullptr;
};

}  // namespace orvtest
