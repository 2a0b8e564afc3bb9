// Shared test utilities: reference signals, comparisons, and loading the
// built liborv.so the way a host does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/OrvSimd.h"
#include "orv/orv.h"

namespace orvtest {

// --- Reference signals -------------------------------------------------------
std::vector<float> Impulse(std::size_t length, std::size_t at = 0, float amplitude = 1.0f);
std::vector<float> Sine(std::size_t length, double frequency, double samplingRate,
                        float amplitude = 1.0f, double phase = 0.0);
// Uniform white noise in [-amplitude, amplitude), reproducible for a seed.
std::vector<float> Noise(std::size_t length, std::uint32_t seed, float amplitude = 1.0f);

// --- Comparisons -------------------------------------------------------------
float MaxAbsDifference(const float* a, const float* b, std::size_t n);
double Rms(const float* a, std::size_t n);
// RMS of (a - b) divided by the RMS of b (the reference).
double RelativeRmsError(const float* a, const float* b, std::size_t n);
double Energy(const float* a, std::size_t n, std::size_t stride = 1);

// Death tests in the "threadsafe" style (the child re-executes the test
// program), unless GTEST_DEATH_TEST_STYLE chooses: under an emulator such as
// qemu-user the program cannot be re-executed directly, and forking serves.
void UseThreadsafeDeathTests();

// --- The shared library as a host sees it --------------------------------------
// dlopens liborv.so (a fresh handle per object) and fills an OrvContext.
class HostLibrary {
 public:
  HostLibrary();
  ~HostLibrary();
  HostLibrary(const HostLibrary&) = delete;
  HostLibrary& operator=(const HostLibrary&) = delete;

  OrvInitializeFunction initialize = nullptr;
  std::string loadError;  // empty when loading worked

 private:
  void* handle = nullptr;
};

// A table filled by OrvInitialize, destroyed on scope exit.
class HostContext {
 public:
  explicit HostContext(const HostLibrary& library);
  ~HostContext();
  HostContext(const HostContext&) = delete;
  HostContext& operator=(const HostContext&) = delete;

  OrvContext table{};
  ContextPrivate* ctx() const { return table.context; }
  // The stored error text, or "" when there is none.
  std::string Error() const;
  void Destroy();

 private:
  bool destroyed = false;
};

// An InitParam with sensible defaults for tests.
InitParam DefaultInitParam(double samplingRate = 48000.0, int numThreads = 1,
                           int maxPolyphonics = 64);

// Caps the vector level kernels use while it lives, so a test can run the
// narrower paths on a wider processor. Plans keep the level they are made at.
class ScopedLevelLimit {
 public:
  explicit ScopedLevelLimit(orv::simd::Level limit) { orv::simd::LimitLevelForTesting(limit); }
  ~ScopedLevelLimit() { orv::simd::LimitLevelForTesting(orv::simd::Level::kSimd8); }
  ScopedLevelLimit(const ScopedLevelLimit&) = delete;
  ScopedLevelLimit& operator=(const ScopedLevelLimit&) = delete;
};

}  // namespace orvtest
