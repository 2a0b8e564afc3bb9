// A busy scene for engine tests that go through the public interface only:
// looping noise voices spread over the sphere around the listener, and a few
// that are not positioned. Reproducible, so engines built alike render alike.
#pragma once

#include <cmath>
#include <memory>
#include <vector>

#include "channel/ChannelTestSupport.h"
#include "channel/OrvChannelRenderer.h"
#include "common/OrvTestUtil.h"
#include "engine/OrvEngine.h"

namespace orvtest {

constexpr int kSceneBlock = 512;
constexpr std::size_t kSceneSoundFrames = 12000;  // a quarter second, looped

// An engine at 48000 Hz with the carried HRTF set.
inline std::shared_ptr<orv::Engine> MakeHrtfEngine(int numThreads) {
  orv::EngineParam param;
  param.numThreads = numThreads;
  param.UseCarriedHrtf();
  return std::make_shared<orv::Engine>(param);
}

// Point i of n spread evenly over a sphere of 2 m (a Fibonacci lattice),
// turned by yaw radians about the vertical.
inline orv::Vector3 SpreadPosition(int i, int n, double yaw = 0.0) {
  const double y = 1.0 - 2.0 * (i + 0.5) / n;
  const double r = std::sqrt(1.0 - y * y);
  const double phi = M_PI * (3.0 - std::sqrt(5.0)) * i + yaw;
  return {static_cast<float>(2.0 * r * std::sin(phi)), static_cast<float>(2.0 * y),
          static_cast<float>(2.0 * r * std::cos(phi))};
}

struct EngineScene {
  std::vector<std::shared_ptr<orv::Channel>> positioned;
  std::vector<orv::ChannelParam> positionedParams;
  std::vector<std::shared_ptr<orv::Channel>> plain;
};

// Starts numPositioned positioned and numPlain plain looping voices, each
// with its own noise and start point, all sending to the room.
inline EngineScene StartScene(orv::Engine& engine, int numPositioned, int numPlain) {
  EngineScene scene;
  for (int v = 0; v < numPositioned + numPlain; ++v) {
    const bool isPositioned = v < numPositioned;
    orv::ChannelParam p;
    p.isLooped = true;
    p.loopEnd = static_cast<std::int64_t>(kSceneSoundFrames);
    p.position = static_cast<double>((v * 997) % static_cast<int>(kSceneSoundFrames));
    p.gain = 0.1f;
    p.reverbGain = 0.05f;
    p.isSpatialized = isPositioned;
    if (isPositioned) p.sourcePosition = SpreadPosition(v, numPositioned);
    auto sound = TestBuffer::Mono(Noise(kSceneSoundFrames, static_cast<std::uint32_t>(v + 1)));
    auto channel = engine.CreateChannel(0.0, sound, p);
    if (isPositioned) {
      scene.positioned.push_back(channel);
      scene.positionedParams.push_back(p);
    } else {
      scene.plain.push_back(channel);
    }
  }
  return scene;
}

// One block as the context renders it.
inline void RenderBlock(orv::Engine& engine, float* out) {
  engine.Prerender();
  engine.Render(out, kSceneBlock);
}

}  // namespace orvtest
