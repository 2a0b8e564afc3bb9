#include "common/OrvTestUtil.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <stdexcept>

namespace orvtest {

std::vector<float> Impulse(std::size_t length, std::size_t at, float amplitude) {
  std::vector<float> v(length, 0.0f);
  if (at < length) v[at] = amplitude;
  return v;
}

std::vector<float> Sine(std::size_t length, double frequency, double samplingRate, float amplitude,
                        double phase) {
  std::vector<float> v(length);
  const double w = 2.0 * M_PI * frequency / samplingRate;
  for (std::size_t i = 0; i < length; ++i)
    v[i] = static_cast<float>(amplitude * std::sin(w * static_cast<double>(i) + phase));
  return v;
}

std::vector<float> Noise(std::size_t length, std::uint32_t seed, float amplitude) {
  std::mt19937 engine(seed);
  std::uniform_real_distribution<float> dist(-amplitude, amplitude);
  std::vector<float> v(length);
  for (auto& x : v) x = dist(engine);
  return v;
}

float MaxAbsDifference(const float* a, const float* b, std::size_t n) {
  float m = 0.0f;
  for (std::size_t i = 0; i < n; ++i) m = std::fmax(m, std::fabs(a[i] - b[i]));
  return m;
}

double Rms(const float* a, std::size_t n) {
  if (n == 0) return 0.0;
  return std::sqrt(Energy(a, n) / static_cast<double>(n));
}

double RelativeRmsError(const float* a, const float* b, std::size_t n) {
  double err = 0.0, ref = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double d = static_cast<double>(a[i]) - b[i];
    err += d * d;
    ref += static_cast<double>(b[i]) * b[i];
  }
  return ref > 0.0 ? std::sqrt(err / ref) : std::sqrt(err);
}

double Energy(const float* a, std::size_t n, std::size_t stride) {
  double e = 0.0;
  for (std::size_t i = 0; i < n; i += stride) e += static_cast<double>(a[i]) * a[i];
  return e;
}

HostLibrary::HostLibrary() {
  handle = dlopen(ORV_SHARED_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    loadError = dlerror();
    return;
  }
  initialize = reinterpret_cast<OrvInitializeFunction>(dlsym(handle, "OrvInitialize"));
  if (!initialize) loadError = "OrvInitialize not found";
}

HostLibrary::~HostLibrary() {
  if (handle) dlclose(handle);
}

HostContext::HostContext(const HostLibrary& library) {
  const char* failure = library.initialize(0x4f5256u, 1, &table);
  if (failure) throw std::runtime_error(failure);
}

HostContext::~HostContext() { Destroy(); }

void HostContext::Destroy() {
  if (!destroyed && table.Destroy) table.Destroy(table.context);
  destroyed = true;
}

std::string HostContext::Error() const {
  const char* text = table.CheckError(table.context);
  return text ? text : "";
}

InitParam DefaultInitParam(double samplingRate, int numThreads, int maxPolyphonics) {
  InitParam p{};
  p.samplingRate = samplingRate;
  p.numThreads = numThreads;
  p.maxPolyphonics = maxPolyphonics;
  return p;
}

void UseThreadsafeDeathTests() {
  if (std::getenv("GTEST_DEATH_TEST_STYLE") == nullptr)
    GTEST_FLAG_SET(death_test_style, "threadsafe");
}

}  // namespace orvtest
