// Once running, the render cycle allocates nothing on any thread. The global
// operator new is replaced by a counting one, so this test has a program of
// its own; it counts only while the flag is set, around the engine's calls.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "engine/EngineTestScene.h"

namespace {

std::atomic<bool> isCounting{false};
std::atomic<long> allocationCount{0};

void* Allocate(std::size_t size, std::size_t alignment = alignof(std::max_align_t)) noexcept {
  if (isCounting.load(std::memory_order_relaxed))
    allocationCount.fetch_add(1, std::memory_order_relaxed);
  void* p = nullptr;
  if (alignment <= alignof(std::max_align_t)) return std::malloc(size ? size : 1);
  return posix_memalign(&p, alignment, size ? size : 1) == 0 ? p : nullptr;
}

void* AllocateOrThrow(std::size_t size, std::size_t alignment = alignof(std::max_align_t)) {
  if (void* p = Allocate(size, alignment)) return p;
  throw std::bad_alloc();
}

// Out of line, so that the compiler, which pairs the standard operator new
// with delete, does not see free here and warn of a mismatch.
[[gnu::noinline]] void Release(void* p) noexcept { std::free(p); }

}  // namespace

void* operator new(std::size_t n) { return AllocateOrThrow(n); }
void* operator new[](std::size_t n) { return AllocateOrThrow(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return Allocate(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return Allocate(n); }
void* operator new(std::size_t n, std::align_val_t a) {
  return AllocateOrThrow(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a) {
  return AllocateOrThrow(n, static_cast<std::size_t>(a));
}
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return Allocate(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return Allocate(n, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, std::size_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t) noexcept { Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete(void* p, std::align_val_t) noexcept { Release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { Release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { Release(p); }

namespace {

using namespace orvtest;

constexpr int kWarmUpBlocks = 16;
constexpr int kBlocks = 1000;

TEST(EngineAllocation, SteadyStateRenderingAllocatesNothing) {
  auto engine = MakeHrtfEngine(2);
  EngineScene scene = StartScene(*engine, 64, 4);
  std::vector<float> out(2 * kSceneBlock);
  for (int b = 0; b < kWarmUpBlocks; ++b) RenderBlock(*engine, out.data());

  long prerenderAllocations = 0;
  long renderAllocations = 0;
  for (int b = 0; b < kBlocks; ++b) {
    // The host moves a quarter of the voices now and then (its updates
    // allocate on its side, outside the count); they cross measured angles.
    if (b % 10 == 0) {
      for (std::size_t v = 0; v < scene.positioned.size(); v += 4) {
        auto& p = scene.positionedParams[v];
        p.sourcePosition = SpreadPosition(static_cast<int>(v), 64, 0.05 * b);
        scene.positioned[v]->UpdateChannelParam(64.0, p);
      }
    }
    allocationCount = 0;
    isCounting = true;
    engine->Prerender();
    isCounting = false;
    prerenderAllocations += allocationCount.exchange(0);
    isCounting = true;
    engine->Render(out.data(), kSceneBlock);
    isCounting = false;
    renderAllocations += allocationCount.exchange(0);
  }
  EXPECT_EQ(prerenderAllocations, 0);
  EXPECT_EQ(renderAllocations, 0);
  EXPECT_GT(Rms(out.data(), out.size()), 0.01) << "the voices must still play";
}

}  // namespace
