// Format level of renderer selection for stereo voices: 18 renderer types,
// in a file of their own so they compile in parallel.
#include "channel/OrvChannelRenderer_Selection.h"

namespace orv::RendererBuilder {

template <>
RendererPointer AudioFormatSelector<2>::Get(const Channel::RendererBuildParam& build) {
  switch (build.format) {
    case kAudioFormatUInt8: return LoopedSelector<2, kAudioFormatUInt8>::Get(build);
    case kAudioFormatInt16: return LoopedSelector<2, kAudioFormatInt16>::Get(build);
    case kAudioFormatFloat32: return LoopedSelector<2, kAudioFormatFloat32>::Get(build);
    default: throw Exception("Invalid audio format: %d", static_cast<int>(build.format));
  }
}

}  // namespace orv::RendererBuilder
