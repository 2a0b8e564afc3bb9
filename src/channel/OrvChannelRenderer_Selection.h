// Renderer selection: a chain of small switches, one per property of the
// voice (channel count, sample format, looping, interpolation), that ends in
// one of the 54 concrete renderer types. Runs once, when a channel is built;
// errors throw Exception and no channel is created.
#pragma once

#include <memory>

#include "channel/OrvChannelRenderer.h"
#include "channel/OrvChannelRenderer_Renderers.h"
#include "common/OrvException.h"
#include "spatializer/OrvSpatializer.h"

namespace orv {

using RendererPointer = std::unique_ptr<Channel::Renderer>;

namespace RendererBuilder {

// Switches on numChannels: 1 or 2, else "Invalid channel count: %d".
struct NumChannelsSelector {
  static RendererPointer Get(const Channel::RendererBuildParam& build);
};

// Switches on the sample format: 0, 1 or 2, else "Invalid audio format: %d".
// Defined per channel count in its own source file.
template <int numChannels>
struct AudioFormatSelector {
  static RendererPointer Get(const Channel::RendererBuildParam& build);
};
template <>
RendererPointer AudioFormatSelector<1>::Get(const Channel::RendererBuildParam& build);
template <>
RendererPointer AudioFormatSelector<2>::Get(const Channel::RendererBuildParam& build);

// Switches on the interpolation mode: 0 nearest, 1 linear, 2 cubic, else
// "Invalid interpolation mode: %d".
template <int numChannels, AudioFormat format, bool looped>
struct InterpolateModeSelector {
  static RendererPointer Get(const Channel::RendererBuildParam& build) {
    switch (build.interpolationMode) {
      case 0:
        return Channel::RendererBuilderInner<NearestSampler<numChannels, format, looped>>::Get(
            build);
      case 1:
        return Channel::RendererBuilderInner<LinearSampler<numChannels, format, looped>>::Get(
            build);
      case 2:
        return Channel::RendererBuilderInner<CubicSampler<numChannels, format, looped>>::Get(build);
      default: throw Exception("Invalid interpolation mode: %d", build.interpolationMode);
    }
  }
};

// Switches on the voice's loop setting.
template <int numChannels, AudioFormat format>
struct LoopedSelector {
  static RendererPointer Get(const Channel::RendererBuildParam& build) {
    if (build.param->isLooped) {
      return InterpolateModeSelector<numChannels, format, true>::Get(build);
    }
    return InterpolateModeSelector<numChannels, format, false>::Get(build);
  }
};

}  // namespace RendererBuilder

// Mono: binaural when the voice asks for it and there is a spatializer,
// centred otherwise.
template <class Sampler>
struct Channel::RendererBuilderInner<Sampler, 1> {
  static RendererPointer Get(const RendererBuildParam& build) {
    if (build.param->isSpatialized && build.spatializer) {
      return std::make_unique<SpatializedRenderer<Sampler>>(build,
                                                            build.spatializer->CreateSource());
    }
    return std::make_unique<NonSpatializedMonoRenderer<Sampler>>(build);
  }
};

// Stereo: never spatialized, whatever the voice asks for.
template <class Sampler>
struct Channel::RendererBuilderInner<Sampler, 2> {
  static RendererPointer Get(const RendererBuildParam& build) {
    return std::make_unique<NonSpatializedMultiChannelRenderer<Sampler>>(build);
  }
};

}  // namespace orv
