// Sample readers: one sample of one buffer channel at a fractional frame
// position, converted to float and interpolated. Specialised at compile time
// on interpolation, channel count, sample format and looping, so that each of
// the 36 combinations reads without run-time switches on those properties.
// Everything here is ORV_REALTIME: inline, no allocation, no locks.
//
// GetSample<true> (the default) takes any position, NaN and infinities
// included. GetSample<false> skips the clamp and the per-tap range checks; a
// renderer uses it for a call whose reads AllTapsInside has vouched for.
// ReadRun reads a whole run of cursors whose taps all lie in the direct
// range (DirectBegin .. DirectEnd): what GetSample gives at each of them,
// bit for bit, in a loop without the per-sample cursor chain.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "channel/OrvChannelRenderer_Kernels.h"
#include "channel/OrvChannelRenderer_Param.h"
#include "common/OrvAssert.h"
#include "common/OrvBuffer.h"

namespace orv {

// Read positions are clamped to +-2^61 before they become frame indices: no
// buffer comes near that size, so every tap out there reads silence anyway,
// while the clamp keeps non-finite and huge positions away from the integer
// conversion and the index arithmetic away from overflow (NaN clamps to the
// lower bound).
inline constexpr double kReadPositionLimit = 2305843009213693952.0;  // 2^61
// Loop bounds are cached clamped to +-2^60, so the loop length and the frame
// mapping stay inside signed 64 bits. A loop reaching that far (24 million
// years at 1.5 MHz) never wraps in practice.
inline constexpr std::int64_t kLoopBoundLimit = std::int64_t{1} << 60;

// Sample conversion to float, one overload per stored element type.
inline float ToFloat(std::uint8_t b) noexcept {
  return (static_cast<float>(b) + (-128.0f)) * 0.0078125f;
}
inline float ToFloat(std::int16_t s) noexcept { return static_cast<float>(s) * 3.0517578125e-05f; }
inline float ToFloat(float f) noexcept { return f; }

// The cubic of CubicSampler through p0 .. p3 at t in [0, 1): exact at t = 0
// for finite taps.
inline float CubicInterpolate(float p0, float p1, float p2, float p3, float t) noexcept {
  const float a = p3 - p2 - p0 + p1;
  const float b = p0 - p1 - a;
  const float c = p2 - p0;
  return ((a * t + b) * t + c) * t + p1;
}

// Unit-step runs of the samplers (see OrvChannelRenderer_Kernels.h): p points
// at frame 0 of one channel, frames are numChannels elements apart, out gets
// n samples.

// out[k] = frame k.
template <int numChannels, typename T>
ORV_KERNEL inline void CopyFrames(int n, const T* ORV_RESTRICT p,
                                  float* ORV_RESTRICT out) noexcept {
  ForEachInFours(n, [&](int k) { out[k] = ToFloat(p[k * numChannels]); });
}

// out[k] = linear interpolation at k + t: GetSample's arithmetic.
template <int numChannels, typename T>
ORV_KERNEL inline void LinearFrames(int n, const T* ORV_RESTRICT p, float t,
                                    float* ORV_RESTRICT out) noexcept {
  ForEachInFours(n, [&](int k) {
    const float s0 = ToFloat(p[k * numChannels]), s1 = ToFloat(p[(k + 1) * numChannels]);
    out[k] = s0 + (s1 - s0) * t;
  });
}

// out[k] = cubic interpolation at k + t (frames k - 1 .. k + 2): GetSample's
// arithmetic.
template <int numChannels, typename T>
ORV_KERNEL inline void CubicFrames(int n, const T* ORV_RESTRICT p, float t,
                                   float* ORV_RESTRICT out) noexcept {
  ForEachInFours(n, [&](int k) {
    const float p0 = ToFloat(p[(k - 1) * numChannels]), p1 = ToFloat(p[k * numChannels]);
    const float p2 = ToFloat(p[(k + 1) * numChannels]), p3 = ToFloat(p[(k + 2) * numChannels]);
    out[k] = CubicInterpolate(p0, p1, p2, p3, t);
  });
}

// Runs at split cursors (SplitRunCursors): cursor k lies fraction[k] past
// frame[k]; p as above.
template <int numChannels, typename T>
ORV_KERNEL inline void NearestAt(int n, const T* ORV_RESTRICT p, const int* ORV_RESTRICT frame,
                                 float* ORV_RESTRICT out) noexcept {
  ForEachInFours(n, [&](int k) { out[k] = ToFloat(p[frame[k] * numChannels]); });
}
template <int numChannels, typename T>
ORV_KERNEL inline void LinearAt(int n, const T* ORV_RESTRICT p, const int* ORV_RESTRICT frame,
                                const float* ORV_RESTRICT fraction,
                                float* ORV_RESTRICT out) noexcept {
  ForEachInFours(n, [&](int k) {
    const T* at = p + frame[k] * numChannels;
    const float s0 = ToFloat(at[0]), s1 = ToFloat(at[numChannels]);
    out[k] = s0 + (s1 - s0) * fraction[k];
  });
}
template <int numChannels, typename T>
ORV_KERNEL inline void CubicAt(int n, const T* ORV_RESTRICT p, const int* ORV_RESTRICT frame,
                               const float* ORV_RESTRICT fraction,
                               float* ORV_RESTRICT out) noexcept {
  ForEachInFours(n, [&](int k) {
    const T* at = p + frame[k] * numChannels;
    out[k] = CubicInterpolate(ToFloat(at[-numChannels]), ToFloat(at[0]), ToFloat(at[numChannels]),
                              ToFloat(at[2 * numChannels]), fraction[k]);
  });
}

// Whether interpolating at a whole frame gives that frame exactly, whatever
// the neighbours hold: true for integer samples. A float neighbour that is
// NaN or infinite turns its weight-0 term into NaN, and the span path must
// give what the per-sample form gives, so float runs interpolate.
template <typename T>
constexpr bool IsCopyExact() noexcept {
  return !std::is_floating_point_v<T>;
}

// Element type stored for each AudioFormat.
template <AudioFormat format>
struct SampleFormat;
template <>
struct SampleFormat<kAudioFormatUInt8> {
  using Element = std::uint8_t;
};
template <>
struct SampleFormat<kAudioFormatInt16> {
  using Element = std::int16_t;
};
template <>
struct SampleFormat<kAudioFormatFloat32> {
  using Element = float;
};

// Clamps into +-kReadPositionLimit; a NaN comes out as the lower bound.
// Renderers keep their cursors finite and far inside the limit, so the test
// is one branch that is never taken.
inline double ClampReadPosition(double x) noexcept {
  if (x >= -kReadPositionLimit && x <= kReadPositionLimit) [[likely]]
    return x;
  return x > 0.0 ? kReadPositionLimit : -kReadPositionLimit;
}

// Brings a looping voice's play cursor back into [start, end): what
// subtracting end - start while x >= end gives, computed in one step so the
// cost does not grow with the distance. Exact for |x| < 2^53 (integer bounds,
// so every multiple of the length is exact): the quotient's rounding can miss
// by one only at a loop boundary, which the correction step restores.
// Returns false when x is not finite; the voice must then end.
inline bool WrapLoopCursor(double& x, double start, double end) noexcept {
  if (x < end) return true;
  if (!std::isfinite(x)) [[unlikely]]
    return false;
  const double length = end - start;
  x -= std::floor((x - start) / length) * length;
  if (x >= end) {
    x -= length;
  } else if (x < start) {
    x += length;
  }
  // Beyond 2^53 the cursor has no fractional precision left and the
  // arithmetic above may round outside the loop; any frame of it will do.
  if (!(x >= start && x < end)) [[unlikely]]
    x = start;
  return true;
}

// A run of cursors for ReadRun: count cursors from a whole frame base on,
// with 0 <= r0 < 1 and every tap inside the direct range. At unit step
// (delta 1) the fraction is r0 throughout; otherwise frame and fraction hold
// the split cursors (SplitRunCursors). The run's maker
// (RendererBase::PlainRun) guarantees that each cursor is exact, so the
// samples come out as GetSample computes them.
struct CursorRun {
  std::int64_t base;
  double r0;
  double delta;
  int count;
  const int* frame;
  const float* fraction;
};

// Common state of the samplers: the sample memory and, for looped voices, the
// cached loop bounds. T is the stored element type.
template <int numChannels, typename T, bool looped>
class BaseSampler;

template <int numChannels, typename T>
class BaseSampler<numChannels, T, false> {
 public:
  static constexpr int kNumChannels = numChannels;
  static constexpr bool kLooped = false;

  BaseSampler(const Buffer& buffer, const ChannelParam* paramPointer)
      : data(static_cast<const T*>(buffer.GetData())), numSamples(buffer.GetNumSamples()) {
    const ChannelParam& param = *paramPointer;
    ORV_ASSERT(!param.isLooped, "OrvChannelRenderer");
  }

  void ParamUpdated() noexcept {}

  // Whether every tap read at positions first .. last (first <= last, both
  // finite) lies inside the buffer, given the interpolation's reach.
  bool AllTapsInside(double first, double last, int tapsBefore, int tapsAfter) const noexcept {
    return first >= tapsBefore && last + tapsAfter < static_cast<double>(numSamples);
  }

  // Frames DirectBegin .. DirectEnd - 1 are read as they are stored: no
  // silence, no loop mapping.
  std::int64_t DirectBegin(bool /*inLoop*/) const noexcept { return 0; }
  std::int64_t DirectEnd() const noexcept { return numSamples; }

 protected:
  // Frame i of a channel; frames outside the buffer are silent.
  // i must lie within +-(kReadPositionLimit + 2), and inside the buffer
  // unless checked.
  template <bool checked>
  float ReadFrame(std::int64_t i, int channel, bool /*inLoop*/) const noexcept {
    if constexpr (checked) {
      if (static_cast<std::uint64_t>(i) >= static_cast<std::uint64_t>(numSamples)) return 0.0f;
    }
    return ToFloat(data[i * numChannels + channel]);
  }

  const T* data;
  std::int64_t numSamples;
};

template <int numChannels, typename T>
class BaseSampler<numChannels, T, true> {
 public:
  static constexpr int kNumChannels = numChannels;
  static constexpr bool kLooped = true;

  BaseSampler(const Buffer& buffer, const ChannelParam* paramPointer)
      : data(static_cast<const T*>(buffer.GetData())),
        numSamples(buffer.GetNumSamples()),
        param(paramPointer) {
    ParamUpdated();
  }

  // Refreshes the cached loop bounds after the channel's param changed.
  void ParamUpdated() noexcept {
    loopStart = ClampLoopBound(this->param->loopStart);
    loopEnd = ClampLoopBound(this->param->loopEnd);
    const ChannelParam& param = *this->param;
    ORV_ASSERT(param.isLooped, "OrvChannelRenderer");
  }

  std::int64_t LoopStart() const noexcept { return loopStart; }
  std::int64_t LoopEnd() const noexcept { return loopEnd; }

  // Whether every tap read at positions from first on lies inside the
  // buffer, for a cursor that the loop wrap keeps below loopEnd: taps below
  // first (and below loopStart before the loop is entered) are read as they
  // are, all others land in the loop.
  bool AllTapsInside(double first, double /*last*/, int tapsBefore,
                     int /*tapsAfter*/) const noexcept {
    return first >= tapsBefore && loopStart >= 0 && loopEnd <= numSamples;
  }

  // Frames DirectBegin .. DirectEnd - 1 are read as they are stored: inside
  // the buffer, and not mapped by the loop (before loopStart only until the
  // loop is entered).
  std::int64_t DirectBegin(bool inLoop) const noexcept {
    return inLoop && loopStart > 0 ? loopStart : 0;
  }
  std::int64_t DirectEnd() const noexcept { return loopEnd < numSamples ? loopEnd : numSamples; }

  // Where frame i is read from: once inside the loop, taps before loopStart
  // come from the loop's end; taps at or past loopEnd always come from its
  // start. The closed forms give what repeated adding or subtracting of the
  // loop length gives. i must lie within +-(kReadPositionLimit + 2).
  std::int64_t MapFrame(std::int64_t i, bool inLoop) const noexcept {
    const std::int64_t length = loopEnd - loopStart;
    if (inLoop && i < loopStart) [[unlikely]]
      i += (loopStart - i + length - 1) / length * length;
    if (i >= loopEnd) [[unlikely]]
      i -= ((i - loopEnd) / length + 1) * length;
    return i;
  }

 protected:
  template <bool checked>
  float ReadFrame(std::int64_t i, int channel, bool inLoop) const noexcept {
    i = MapFrame(i, inLoop);
    if constexpr (checked) {
      if (static_cast<std::uint64_t>(i) >= static_cast<std::uint64_t>(numSamples)) return 0.0f;
    }
    return ToFloat(data[i * numChannels + channel]);
  }

  static std::int64_t ClampLoopBound(std::int64_t v) noexcept {
    return v < -kLoopBoundLimit ? -kLoopBoundLimit : (v > kLoopBoundLimit ? kLoopBoundLimit : v);
  }

  const T* data;
  std::int64_t numSamples;
  const ChannelParam* param;
  std::int64_t loopStart = 0;
  std::int64_t loopEnd = 1;
};

// Reads frame floor(x).
template <int numChannels, AudioFormat format, bool looped>
class NearestSampler
    : public BaseSampler<numChannels, typename SampleFormat<format>::Element, looped> {
  using Base = BaseSampler<numChannels, typename SampleFormat<format>::Element, looped>;
  using Element = typename SampleFormat<format>::Element;

 public:
  static constexpr int kTapsBefore = 0;  // frames read before floor(x) / trunc(x)
  static constexpr int kTapsAfter = 0;   // frames read after it

  using Base::Base;

  template <bool checked = true>
  float GetSample(double position, int channel, bool inLoop) const noexcept {
    ORV_ASSERT(channel >= 0, "OrvChannelRenderer");
    ORV_ASSERT(channel < numChannels, "OrvChannelRenderer");
    const double x = checked ? ClampReadPosition(position) : position;
    std::int64_t i = static_cast<std::int64_t>(x);
    i -= x < static_cast<double>(i);  // floor without a library call
    return this->template ReadFrame<checked>(i, channel, inLoop);
  }

  // out[k] = GetSample at cursor k of run. See CursorRun.
  void ReadRun(const CursorRun& run, int channel, float* out) const noexcept {
    const Element* p = this->data + run.base * numChannels + channel;
    if (run.delta == 1.0) {
      CopyFrames<numChannels>(run.count, p, out);
    } else {
      NearestAt<numChannels>(run.count, p, run.frame, out);
    }
  }
};

// Interpolates between frames trunc(x) and trunc(x) + 1.
template <int numChannels, AudioFormat format, bool looped>
class LinearSampler
    : public BaseSampler<numChannels, typename SampleFormat<format>::Element, looped> {
  using Base = BaseSampler<numChannels, typename SampleFormat<format>::Element, looped>;
  using Element = typename SampleFormat<format>::Element;

 public:
  static constexpr int kTapsBefore = 0;
  static constexpr int kTapsAfter = 1;

  using Base::Base;

  template <bool checked = true>
  float GetSample(double position, int channel, bool inLoop) const noexcept {
    ORV_ASSERT(channel >= 0, "OrvChannelRenderer");
    ORV_ASSERT(channel < numChannels, "OrvChannelRenderer");
    const double x = checked ? ClampReadPosition(position) : position;
    const std::int64_t i = static_cast<std::int64_t>(x);
    const float t = static_cast<float>(x - static_cast<double>(i));
    const float s0 = this->template ReadFrame<checked>(i, channel, inLoop);
    const float s1 = this->template ReadFrame<checked>(i + 1, channel, inLoop);
    return s0 + (s1 - s0) * t;
  }

  // out[k] = GetSample at cursor k of run. See CursorRun.
  void ReadRun(const CursorRun& run, int channel, float* out) const noexcept {
    const Element* p = this->data + run.base * numChannels + channel;
    if (run.delta != 1.0) {
      LinearAt<numChannels>(run.count, p, run.frame, run.fraction, out);
      return;
    }
    // One fraction for the whole run: a plain copy at whole frames, where
    // the neighbour's weight 0 adds exactly nothing (see IsCopyExact).
    const float t = static_cast<float>(run.r0);
    if (t == 0.0f && IsCopyExact<Element>()) {
      CopyFrames<numChannels>(run.count, p, out);
    } else {
      LinearFrames<numChannels>(run.count, p, t, out);
    }
  }
};

// Cubic through frames floor(x) - 1 .. floor(x) + 2; exact at whole frames.
template <int numChannels, AudioFormat format, bool looped>
class CubicSampler
    : public BaseSampler<numChannels, typename SampleFormat<format>::Element, looped> {
  using Base = BaseSampler<numChannels, typename SampleFormat<format>::Element, looped>;
  using Element = typename SampleFormat<format>::Element;

 public:
  static constexpr int kTapsBefore = 1;
  static constexpr int kTapsAfter = 2;

  using Base::Base;

  template <bool checked = true>
  float GetSample(double position, int channel, bool inLoop) const noexcept {
    ORV_ASSERT(channel >= 0, "OrvChannelRenderer");
    ORV_ASSERT(channel < numChannels, "OrvChannelRenderer");
    const double x = checked ? ClampReadPosition(position) : position;
    std::int64_t i = static_cast<std::int64_t>(x);
    i -= x < static_cast<double>(i);
    const float t = static_cast<float>(x - static_cast<double>(i));
    const float p0 = this->template ReadFrame<checked>(i - 1, channel, inLoop);
    const float p1 = this->template ReadFrame<checked>(i, channel, inLoop);
    const float p2 = this->template ReadFrame<checked>(i + 1, channel, inLoop);
    const float p3 = this->template ReadFrame<checked>(i + 2, channel, inLoop);
    return CubicInterpolate(p0, p1, p2, p3, t);
  }

  // out[k] = GetSample at cursor k of run. See CursorRun.
  void ReadRun(const CursorRun& run, int channel, float* out) const noexcept {
    const Element* p = this->data + run.base * numChannels + channel;
    if (run.delta != 1.0) {
      CubicAt<numChannels>(run.count, p, run.frame, run.fraction, out);
      return;
    }
    // One fraction for the whole run: a plain copy at whole frames, where
    // the neighbours' weight 0 adds exactly nothing (see IsCopyExact).
    const float t = static_cast<float>(run.r0);
    if (t == 0.0f && IsCopyExact<Element>()) {
      CopyFrames<numChannels>(run.count, p, out);
    } else {
      CubicFrames<numChannels>(run.count, p, t, out);
    }
  }
};

}  // namespace orv
