#include "ORVFFT/Twiddles.h"

#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "ORVFFT/OrvFFT.h"
#include "common/OrvAssert.h"

namespace orvfft {
namespace {

// The cache and its lock are created on first use, so plans built during
// static initialisation of other units still find them.
std::unordered_map<std::uint32_t, std::weak_ptr<Twiddles>>& Cache() {
  static std::unordered_map<std::uint32_t, std::weak_ptr<Twiddles>> cache;
  return cache;
}

std::mutex& CacheMutex() {
  static std::mutex cacheMutex;
  return cacheMutex;
}

}  // namespace

std::shared_ptr<Twiddles> Twiddles::GetInstance(unsigned size) {
  ORV_ASSERT(size > 0, "ORVFFT/Twiddles");
  // Held across construction too: two threads asking for a new length at
  // once must end up with one shared table.
  std::lock_guard<std::mutex> lock(CacheMutex());
  auto& cache = Cache();
  if (auto entry = cache.find(size); entry != cache.end()) {
    if (auto live = entry->second.lock()) return live;
  }
  // Built before the entry is touched: a failing length leaves no entry.
  auto table = std::make_shared<Twiddles>(size);
  cache[size] = table;
  return table;
}

Twiddles::CacheState Twiddles::GetCacheState(unsigned size) {
  std::lock_guard<std::mutex> lock(CacheMutex());
  const auto& cache = Cache();
  const auto entry = cache.find(size);
  if (entry == cache.end()) return CacheState::kAbsent;
  return entry->second.expired() ? CacheState::kExpired : CacheState::kLive;
}

Twiddles::Twiddles(unsigned size) {
  if (size >= 2) {
    twiddleDouble.reserve(size - 1);
    twiddleFloat.reserve(size - 1);
    const double w = 6.283185307179586 / size;
    std::uint32_t product = 1;  // P: radices of the passes so far, this one included
    for (std::uint32_t remaining = size; remaining >= 2;) {
      const std::uint32_t radix = NextRadix(remaining);
      if (radix == 0) throw Exception("Failed to create FFT plan. Radix not found.");
      levelOffsets.push_back(twiddleDouble.size());
      product *= radix;
      for (std::uint32_t k = 1; k < radix; ++k) {
        // k · P / r is k times the product of the earlier radices.
        const double step = static_cast<double>(k * (product / radix)) * w;
        double angle = 0.0;
        for (std::uint32_t m = 1; m <= size / product; ++m) {
          angle += step;
          const std::complex<double> factor = std::exp(std::complex<double>(0.0, angle));
          twiddleDouble.push_back(factor);
          twiddleFloat.emplace_back(static_cast<float>(factor.real()),
                                    static_cast<float>(factor.imag()));
        }
      }
      remaining /= radix;
    }
  }
  ORV_ASSERT(twiddleDouble.size() == size - 1, "ORVFFT/Twiddles");
}

}  // namespace orvfft
