// Format level of renderer selection for mono voices: 18 spatialized and 18
// centred renderer types, in a file of their own so they compile in parallel.
#include "channel/OrvChannelRenderer_Selection.h"

namespace orv::RendererBuilder {

template <>
RendererPointer AudioFormatSelector<1>::Get(const Channel::RendererBuildParam& build) {
  switch (build.format) {
    case kAudioFormatUInt8: return LoopedSelector<1, kAudioFormatUInt8>::Get(build);
    case kAudioFormatInt16: return LoopedSelector<1, kAudioFormatInt16>::Get(build);
    case kAudioFormatFloat32: return LoopedSelector<1, kAudioFormatFloat32>::Get(build);
    default: throw Exception("Invalid audio format: %d", static_cast<int>(build.format));
  }
}

}  // namespace orv::RendererBuilder
