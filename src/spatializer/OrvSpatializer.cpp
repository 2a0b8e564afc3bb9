#include "spatializer/OrvSpatializer.h"

#include <algorithm>
#include <cmath>

#include "common/OrvAssert.h"
#include "dsp/OrvInternals_Vector.h"

namespace orv {
namespace {

// The float nearest below 180/pi: keeps directions bit-identical to the
// measured grid's own conversion.
constexpr float kDegreesPerRadian = 57.2957763671875f;
// A crossfade lasts 128 of the source's own samples.
constexpr float kFadeStep = 0.0078125f;
constexpr float kFadeLength = 128.0f;
// Below this magnitude an input sample is inaudible rounding noise: a hop of
// such samples skips its transform.
constexpr float kSignificantInput = 1e-10f;

// Copies count samples, non-finite ones as 0 (one bad voice must not poison
// the shared accumulators), and tells whether any of them is audible.
bool CopyAudible(float* dst, const float* src, std::size_t count) noexcept {
  return CopyFinite(count, dst, src) > kSignificantInput;
}

// Wraps into [-180, 180); 180 itself becomes -180.
float WrapAzimuth(float azimuth) {
  const double a = azimuth;
  return static_cast<float>(a - std::floor(a / 360.0 + 0.5) * 360.0);
}

}  // namespace

Spatializer::Source::Source(std::weak_ptr<Spatializer> owner) : spatializer(std::move(owner)) {}

std::shared_ptr<Spatializer::Source> Spatializer::CreateSource() {
  return std::make_shared<Source>(weak_from_this());
}

void Spatializer::Source::Mix(const float* samples, int offset, int count,
                              const Vector3& position) {
  const float x = position.x, y = position.y, z = position.z;
  // The zero cases avoid the angle of a signed zero vector.
  const float azimuth = (x == 0.0f && z == 0.0f) ? 0.0f : std::atan2(x, z) * kDegreesPerRadian;
  const float elevation = (x == 0.0f && y == 0.0f && z == 0.0f)
                              ? 0.0f
                              : std::atan2(y, std::sqrt(x * x + z * z)) * kDegreesPerRadian;
  Mix(samples, offset, count, azimuth, elevation);
}

void Spatializer::Source::Mix(const float* samples, int offset, int count, float azimuth,
                              float elevation) {
  const std::shared_ptr<Spatializer> owner = spatializer.lock();
  if (!owner) return;
  // Non-finite directions count as straight ahead: an infinite azimuth has
  // no wrap, and a NaN no nearest angle.
  if (std::isnan(elevation)) elevation = 0.0f;
  if (!std::isfinite(azimuth)) azimuth = 0.0f;
  elevation = std::clamp(elevation, -90.0f, 90.0f);
  // A data set without rings, or a ring without angles, renders nothing.
  if (owner->rings.empty()) return;
  const Ring& ring = *owner->rings[owner->elevations.ChooseNearest(elevation)];
  if (ring.angles.empty()) return;

  const float wrapped = WrapAzimuth(azimuth);
  const std::shared_ptr<Angle>& chosen = ring.angles[ring.azimuths.ChooseNearest(std::fabs(wrapped))];
  const bool newMirrored = wrapped < 0.0f;

  if (!current) {
    current = chosen;
    mirrored = newMirrored;
  }
  if (current == chosen && mirrored == newMirrored && !next) {
    InnerMix<0>(current.get(), mirrored, samples, offset, count, 0.0f);
    return;
  }

  // A running crossfade finishes before a new direction is honoured.
  const bool isRunning = static_cast<bool>(next);
  const std::shared_ptr<Angle> target = isRunning ? next : chosen;
  const float start = isRunning ? fade : 0.0f;
  const int n = std::min(static_cast<int>((1.0f - start) * kFadeLength), count);
  InnerMix<-1>(current.get(), mirrored, samples, offset, n, start);
  InnerMix<1>(target.get(), newMirrored, samples, offset, n, start);
  if (n == count) {
    next = target;
    fade = start + static_cast<float>(count) * kFadeStep;
    return;
  }
  next.reset();
  current = target;
  mirrored = newMirrored;
  InnerMix<0>(current.get(), mirrored, samples + n, offset + n, count - n, 0.0f);
}

template <int direction>
void Spatializer::Source::InnerMix(Angle* angle, bool useMirrored, const float* samples,
                                   int offset, int count, float startFade) {
  std::vector<float>& buffer = useMirrored ? angle->mirroredInput : angle->input;
  std::atomic<bool>& used = useMirrored ? angle->mirroredInputUsed : angle->inputUsed;
  std::mutex& bufferMutex = useMirrored ? angle->mirroredInputMutex : angle->inputMutex;

  // The first writer of the block clears the buffer; later writers see the
  // flag set (acquire) and skip the setup lock.
  if (!used.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> setup(angle->setupMutex);
    if (!used.load(std::memory_order_relaxed)) {
      std::fill(buffer.begin(), buffer.end(), 0.0f);
      used.store(true, std::memory_order_release);
    }
  }

  std::lock_guard<std::mutex> lock(bufferMutex);
  float* dst = buffer.data() + offset;
  if constexpr (direction == 0) {
    Accumulate(static_cast<std::size_t>(count), dst, samples);
  } else if constexpr (direction < 0) {
    float g = 1.0f - startFade;
    for (int i = 0; i < count; ++i) {
      dst[i] += samples[i] * g;
      g -= kFadeStep;
    }
  } else {
    float g = startFade;
    for (int i = 0; i < count; ++i) {
      dst[i] += samples[i] * g;
      g += kFadeStep;
    }
  }
}

Spatializer::Bank::Bank(int tapCount)
    : size(tapCount), stride(SpectrumStride(tapCount)), fft(tapCount) {
  const std::size_t n = static_cast<std::size_t>(tapCount);
  for (AlignedArray<float>* array : {&left, &right, &tail}) {
    array->resize(2 * n);
    std::fill(array->begin(), array->end(), 0.0f);
  }
  groups.reserve(kNumGroups);
  for (std::size_t g = 0; g < kNumGroups; ++g) {
    GroupWork& work = groups.emplace_back(tapCount);
    work.frame.resize(2 * n);
    std::fill(work.frame.begin(), work.frame.end(), 0.0f);
    work.spectrum.resize(2 * stride);
  }
}

void Spatializer::Bank::Fit(std::size_t frames) {
  const std::size_t n = static_cast<std::size_t>(size);
  // The most hops that can complete in one block.
  const std::size_t hops = (n - 1 + frames) / n;
  for (GroupWork& work : groups) {
    if (work.isHopUsed.size() < hops) {
      work.isHopUsed.resize(hops);
      // Zeros in the padding between the parts, which the group sums add.
      work.sums.resize(4 * stride * hops);
      std::fill(work.sums.begin(), work.sums.end(), 0.0f);
    }
  }
}

template <typename Visit>
void Spatializer::ForEachAngle(const Visit& visit) const {
  for (const auto& ring : rings)
    for (const auto& angle : ring->angles) visit(*angle);
  for (const DataSet* set = retired.get(); set; set = set->next.get())
    for (const auto& ring : set->rings)
      for (const auto& angle : ring->angles) visit(*angle);
}

void Spatializer::BeginRender(std::size_t newBlockSize) {
  blockSize = newBlockSize;
  if (blockSize > largestBlock.load(std::memory_order_relaxed))
    largestBlock.store(blockSize, std::memory_order_relaxed);
  // A set handed over by Replace comes in at this block boundary. A host
  // thread holds the lock only for a few moves; when it does, the swap
  // waits for the next block.
  if (handoverMutex.try_lock()) {
    InstallIncoming();
    RetireSilentSets();
    handoverMutex.unlock();
  }
  ForEachAngle([this](Angle& angle) {
    angle.inputUsed.store(false, std::memory_order_relaxed);
    angle.mirroredInputUsed.store(false, std::memory_order_relaxed);
    // Cleared lazily by the block's first writer; storage is kept.
    angle.input.resize(blockSize);
    angle.mirroredInput.resize(blockSize);
  });
  for (const auto& bank : banks) {
    bank->Fit(blockSize);
    for (GroupWork& work : bank->groups) std::fill(work.isHopUsed.begin(), work.isHopUsed.end(), 0);
  }
}

std::size_t Spatializer::PrepareEndRender() {
  enabledAngles.clear();
  ForEachAngle([this](Angle& angle) {
    if (angle.inputUsed.load(std::memory_order_acquire) ||
        angle.mirroredInputUsed.load(std::memory_order_acquire) || angle.isHopPending[0] ||
        angle.isHopPending[1])
      enabledAngles.push_back(&angle);
  });
  numGroups = std::min(enabledAngles.size(), kNumGroups);
  return numGroups;
}

void Spatializer::EndRender(std::size_t index) noexcept {
  ORV_ASSERT(index < enabledAngles.size(), "OrvSpatializer");
  ORV_ASSERT(index < numGroups, "OrvSpatializer");
  for (std::size_t i = index; i < enabledAngles.size(); i += numGroups) {
    Angle& angle = *enabledAngles[i];
    Bank& bank = *banks[angle.bank];
    GroupWork& work = bank.groups[index];
    for (int side = 0; side < 2; ++side) ProcessSide(angle, side, work, bank);
  }
}

void Spatializer::ProcessSide(Angle& angle, int side, GroupWork& work, const Bank& bank) noexcept {
  const bool isUsed = (side == 0 ? angle.inputUsed : angle.mirroredInputUsed)
                          .load(std::memory_order_acquire);
  bool isPending = angle.isHopPending[side];
  if (!isUsed && !isPending) return;
  const float* in = isUsed ? (side == 0 ? angle.input : angle.mirroredInput).data() : nullptr;
  float* hop = angle.hop[side].data();
  bool isSignificant = angle.isHopSignificant[side];

  const std::size_t n = static_cast<std::size_t>(bank.size);
  const std::size_t stride = bank.stride;
  float* frame = work.frame.Data();  // [n, 2n) stays zero
  std::size_t position = static_cast<std::size_t>(bank.position);
  std::size_t hopIndex = 0;
  for (std::size_t done = 0; done < blockSize;) {
    const std::size_t run = std::min(blockSize - done, n - position);
    if (position + run < n) {
      // The block ends inside the hop: keep its samples for the next block.
      if (in) {
        // Frames of the hop before this angle's first input are silent.
        if (!isPending) std::fill(hop, hop + position, 0.0f);
        isSignificant |= CopyAudible(hop + position, in + done, run);
        isPending = true;
      } else {
        std::fill(hop + position, hop + position + run, 0.0f);
      }
      position += run;
      done += run;
      break;
    }
    // The hop completes in this block.
    if (isPending)
      std::copy(hop, hop + position, frame);
    else
      std::fill(frame, frame + position, 0.0f);
    if (in)
      isSignificant |= CopyAudible(frame + position, in + done, run);
    else
      std::fill(frame + position, frame + n, 0.0f);
    if (isSignificant) {
      float* re = work.spectrum.Data();
      float* im = re + stride;
      work.fft.ForwardTransform(re, im, frame);
      // A mirrored input hears the left response on the right ear.
      const float* spectra = angle.spectra.Data();
      const float* first = spectra + (side == 0 ? 0 : 2 * stride);
      const float* second = spectra + (side == 0 ? 2 * stride : 0);
      float* sums = work.sums.Data() + 4 * stride * hopIndex;
      if (work.isHopUsed[hopIndex]) {
        ComplexMultiplyAccumulate(n + 1, sums, sums + stride, sums + 2 * stride,
                                  sums + 3 * stride, re, im, first, first + stride, second,
                                  second + stride);
      } else {
        ComplexMultiply(n + 1, sums, sums + stride, sums + 2 * stride, sums + 3 * stride, re, im,
                        first, first + stride, second, second + stride);
        work.isHopUsed[hopIndex] = 1;
      }
    }
    isPending = false;
    isSignificant = false;
    position = 0;
    done += run;
    ++hopIndex;
  }
  angle.isHopPending[side] = isPending;
  angle.isHopSignificant[side] = isSignificant;
}

void Spatializer::FinishRender(float* output) noexcept {
  for (const auto& bankOwner : banks) {
    Bank& bank = *bankOwner;
    const std::size_t n = static_cast<std::size_t>(bank.size);
    std::size_t position = static_cast<std::size_t>(bank.position);
    std::size_t hopIndex = 0;
    for (std::size_t done = 0; done < blockSize;) {
      const std::size_t run = std::min(blockSize - done, n - position);
      if (bank.isSounding) {
        const float* left = bank.left.Data() + position;
        const float* right = bank.right.Data() + position;
        float* out = output + 2 * done;
        for (std::size_t i = 0; i < run; ++i) {
          out[2 * i] += left[i];
          out[2 * i + 1] += right[i];
        }
      }
      position += run;
      done += run;
      if (position == n) {
        FinishHop(bank, hopIndex++);
        position = 0;
      }
    }
    bank.position = static_cast<int>(position);
  }
}

void Spatializer::FinishHop(Bank& bank, std::size_t hopIndex) noexcept {
  const std::size_t n = static_cast<std::size_t>(bank.size);
  const std::size_t stride = bank.stride;
  float* sums = nullptr;
  // In group order, whichever threads formed the sums.
  for (GroupWork& work : bank.groups) {
    if (!work.isHopUsed[hopIndex]) continue;
    float* groupSums = work.sums.Data() + 4 * stride * hopIndex;
    if (sums)
      Accumulate(4 * stride, sums, groupSums);
    else
      sums = groupSums;
  }
  float* left = bank.left.Data();
  float* right = bank.right.Data();
  if (sums) {
    float* leftTail = bank.tail.Data();
    float* rightTail = leftTail + n;
    std::copy(left + n, left + 2 * n, leftTail);
    std::copy(right + n, right + 2 * n, rightTail);
    bank.fft.BackwardTransform(left, sums, sums + stride);
    bank.fft.BackwardTransform(right, sums + 2 * stride, sums + 3 * stride);
    // The round trip of the real FFT multiplies by N.
    const float scale = 1.0f / static_cast<float>(n);
    Scale(2 * n, left, scale);
    Scale(2 * n, right, scale);
    Accumulate(n, left, leftTail);
    Accumulate(n, right, rightTail);
    bank.isSounding = true;
  } else if (bank.isSounding) {
    // A hop without input only moves the overlap forward.
    bool isSounding = false;
    for (std::size_t i = 0; i < n; ++i) {
      const float l = left[n + i], r = right[n + i];
      left[i] = l;
      right[i] = r;
      isSounding |= (l != 0.0f) | (r != 0.0f);
    }
    std::fill(left + n, left + 2 * n, 0.0f);
    std::fill(right + n, right + 2 * n, 0.0f);
    bank.isSounding = isSounding;
  }
}

}  // namespace orv
