// First level of renderer selection: the buffer's channel count.
#include "channel/OrvChannelRenderer_Selection.h"

namespace orv::RendererBuilder {

RendererPointer NumChannelsSelector::Get(const Channel::RendererBuildParam& build) {
  switch (build.numChannels) {
    case 1: return AudioFormatSelector<1>::Get(build);
    case 2: return AudioFormatSelector<2>::Get(build);
    default: throw Exception("Invalid channel count: %d", build.numChannels);
  }
}

}  // namespace orv::RendererBuilder
