// The twiddle factors of one transform length, shared by every plan of that
// length (both precisions, both directions) through a process-wide cache of
// weak references. Read-only after construction, so plans on different
// threads may share one table.
#pragma once

#include <complex>
#include <cstddef>
#include <memory>
#include <vector>

namespace orvfft {

class Twiddles {
 public:
  // The shared table for size; builds it when no plan holds one. Thread-safe.
  // Throws orvfft::Exception when size has a prime factor other than 2 and 3;
  // the cache then keeps no entry for it.
  static std::shared_ptr<Twiddles> GetInstance(unsigned size);

  // What the cache holds for a length (lets tests see lifetime and failures).
  enum class CacheState { kAbsent, kExpired, kLive };
  static CacheState GetCacheState(unsigned size);

  // Builds a table; use GetInstance instead so that plans share it.
  explicit Twiddles(unsigned size);

  // N - 1 factors. Pass L, output k (1 ≤ k < r) and group p (1 ≤ p < N / P_L)
  // read entry levelOffsets[L] + (k - 1) · (N / P_L) + (p - 1), which equals
  // e^(+2πi·k·p·P_(L-1) / N), P_L being the product of the radices of passes
  // 0 .. L. Forward kernels use the conjugates.
  template <typename T>
  const std::complex<T>* Factors() const noexcept {
    if constexpr (sizeof(T) == sizeof(float))
      return twiddleFloat.data();
    else
      return twiddleDouble.data();
  }
  const std::vector<std::complex<float>>& FloatFactors() const noexcept { return twiddleFloat; }
  const std::vector<std::complex<double>>& DoubleFactors() const noexcept { return twiddleDouble; }
  // Index of each pass's first factor.
  const std::vector<std::size_t>& LevelOffsets() const noexcept { return levelOffsets; }

 private:
  std::vector<std::complex<float>> twiddleFloat;
  std::vector<std::complex<double>> twiddleDouble;
  std::vector<std::size_t> levelOffsets;
};

// The radix of the next pass for a remaining length R ≥ 2: 4 first, then 2,
// then 3; 0 when none divides R. Plans and tables factorise alike through it.
inline unsigned NextRadix(unsigned remaining) noexcept {
  if (remaining % 4 == 0) return 4;
  if (remaining % 2 == 0) return 2;
  if (remaining % 3 == 0) return 3;
  return 0;
}

}  // namespace orvfft
