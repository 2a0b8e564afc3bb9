#include "spatializer/OrvSpatializer.h"

#include <algorithm>
#include <bit>
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

Spatializer::Source::Source(Spatializer& owner)
    : spatializer(owner.weak_from_this()), owner(&owner) {}

std::shared_ptr<Spatializer::Source> Spatializer::CreateSource() {
  return std::make_shared<Source>(*this);
}

const std::shared_ptr<Spatializer::Angle>* Spatializer::Source::NearestTo(
    const Vector3& position, bool& isMirrored) noexcept {
  const float x = position.x, y = position.y, z = position.z;
  // Compared as values: a NaN never matches, and is looked up each time.
  if (lastSet != owner->setVersion || x != lastPosition.x || y != lastPosition.y ||
      z != lastPosition.z) {
    // The zero cases avoid the angle of a signed zero vector.
    const float azimuth = (x == 0.0f && z == 0.0f) ? 0.0f : std::atan2(x, z) * kDegreesPerRadian;
    const float elevation = (x == 0.0f && y == 0.0f && z == 0.0f)
                                ? 0.0f
                                : std::atan2(y, std::sqrt(x * x + z * z)) * kDegreesPerRadian;
    lastNearest = owner->Nearest(azimuth, elevation, lastMirrored);
    lastPosition = position;
    lastSet = owner->setVersion;
  }
  isMirrored = lastMirrored;
  return lastNearest;
}

const std::shared_ptr<Spatializer::Angle>* Spatializer::Nearest(float azimuth, float elevation,
                                                                bool& isMirrored) const noexcept {
  // Non-finite directions count as straight ahead: an infinite azimuth has
  // no wrap, and a NaN no nearest angle.
  if (std::isnan(elevation)) elevation = 0.0f;
  if (!std::isfinite(azimuth)) azimuth = 0.0f;
  elevation = std::clamp(elevation, -90.0f, 90.0f);
  // A data set without rings, or a ring without angles, renders nothing.
  if (rings.empty()) return nullptr;
  const Ring& ring = *rings[elevations.ChooseNearest(elevation)];
  if (ring.angles.empty()) return nullptr;
  const float wrapped = WrapAzimuth(azimuth);
  isMirrored = wrapped < 0.0f;
  return &ring.angles[ring.azimuths.ChooseNearest(std::fabs(wrapped))];
}

float* Spatializer::Source::SteadyInput(int offset, const Vector3& position,
                                        std::size_t lane) noexcept {
  if (spatializer.expired() || lane >= kMaxLanes) return nullptr;
  bool newMirrored = false;
  const std::shared_ptr<Angle>* chosen = NearestTo(position, newMirrored);
  if (!chosen) return nullptr;
  if (!current) {
    current = *chosen;
    mirrored = newMirrored;
  }
  if (next || current != *chosen || mirrored != newMirrored) return nullptr;
  bool fresh = false;
  float* buffer = owner->LaneInput(*current, mirrored ? 1 : 0, lane, fresh);
  if (!buffer) return nullptr;
  if (fresh) std::fill(buffer, buffer + owner->blockSize, 0.0f);
  return buffer + offset;
}

int Spatializer::Source::Group() const noexcept {
  const Angle* angle = next ? next.get() : current.get();
  return angle ? angle->group : -1;
}

void Spatializer::Source::Mix(const float* samples, int offset, int count, const Vector3& position,
                              std::size_t lane) {
  // A read of the count, not a write: no cache line passes between workers.
  if (spatializer.expired() || lane >= kMaxLanes) return;
  bool newMirrored = false;
  const std::shared_ptr<Angle>* nearest = NearestTo(position, newMirrored);
  MixAt(nearest, newMirrored, samples, offset, count, lane);
}

void Spatializer::Source::Mix(const float* samples, int offset, int count, float azimuth,
                              float elevation, std::size_t lane) {
  if (spatializer.expired() || lane >= kMaxLanes) return;
  bool newMirrored = false;
  const std::shared_ptr<Angle>* nearest = owner->Nearest(azimuth, elevation, newMirrored);
  MixAt(nearest, newMirrored, samples, offset, count, lane);
}

void Spatializer::Source::MixAt(const std::shared_ptr<Angle>* nearest, bool newMirrored,
                                const float* samples, int offset, int count, std::size_t lane) {
  if (!nearest) return;
  const std::shared_ptr<Angle>& chosen = *nearest;

  if (!current) {
    current = chosen;
    mirrored = newMirrored;
  }
  if (current == chosen && mirrored == newMirrored && !next) {
    InnerMix<0>(*owner, current.get(), mirrored, lane, samples, offset, count, 0.0f);
    return;
  }

  // A running crossfade finishes before a new direction is honoured.
  const bool isRunning = static_cast<bool>(next);
  const std::shared_ptr<Angle> target = isRunning ? next : chosen;
  const float start = isRunning ? fade : 0.0f;
  const int n = std::min(static_cast<int>((1.0f - start) * kFadeLength), count);
  InnerMix<-1>(*owner, current.get(), mirrored, lane, samples, offset, n, start);
  InnerMix<1>(*owner, target.get(), newMirrored, lane, samples, offset, n, start);
  if (n == count) {
    next = target;
    fade = start + static_cast<float>(count) * kFadeStep;
    return;
  }
  next.reset();
  current = target;
  mirrored = newMirrored;
  InnerMix<0>(*owner, current.get(), mirrored, lane, samples + n, offset + n, count - n, 0.0f);
}

template <int direction>
void Spatializer::Source::InnerMix(Spatializer& owner, Angle* angle, bool useMirrored,
                                   std::size_t lane, const float* samples, int offset, int count,
                                   float startFade) {
  bool fresh = false;
  float* buffer = owner.LaneInput(*angle, useMirrored ? 1 : 0, lane, fresh);
  if (!buffer) return;
  float* dst = buffer + offset;
  if (fresh) {
    // A fresh buffer is written, not added to: only the frames outside this
    // call need clearing.
    std::fill(buffer, dst, 0.0f);
    std::fill(dst + count, buffer + owner.blockSize, 0.0f);
  }
  if constexpr (direction == 0) {
    if (fresh)
      std::copy(samples, samples + count, dst);
    else
      Accumulate(static_cast<std::size_t>(count), dst, samples);
  } else {
    if (fresh) std::fill(dst, dst + count, 0.0f);
    float g = direction < 0 ? 1.0f - startFade : startFade;
    const float step = direction < 0 ? -kFadeStep : kFadeStep;
    for (int i = 0; i < count; ++i) {
      dst[i] += samples[i] * g;
      g += step;
    }
  }
}

float* Spatializer::LaneInput(Angle& angle, int side, std::size_t lane, bool& fresh) noexcept {
  Angle::LaneFeed& feed = angle.laneFeeds[lane];
  const std::size_t s = static_cast<std::size_t>(side);
  Lane& owner = lanes[lane];
  if (feed.block[s] != block) {
    if (owner.used == owner.capacity) return nullptr;
    feed.block[s] = block;
    feed.index[s] = static_cast<std::int32_t>(owner.used++);
    fresh = true;
  }
  return owner.storage.get() + static_cast<std::size_t>(feed.index[s]) * blockSize;
}

std::int32_t Spatializer::InputIndex(const Angle& angle, int side,
                                     std::size_t lane) const noexcept {
  const Angle::LaneFeed& feed = angle.laneFeeds[lane];
  const std::size_t s = static_cast<std::size_t>(side);
  return feed.block[s] == block ? feed.index[s] : -1;
}

bool Spatializer::IsInputUsed(const Angle& angle, int side) const noexcept {
  for (std::size_t lane = 0; lane < numLanes; ++lane)
    if (InputIndex(angle, side, lane) >= 0) return true;
  return false;
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
    if (work.input.Size() < frames) work.input.resize(frames);
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

void Spatializer::BeginRender(std::size_t newBlockSize, std::size_t newNumLanes,
                              std::size_t sourcesPerLane) {
  blockSize = newBlockSize;
  if (blockSize > largestBlock.load(std::memory_order_relaxed))
    largestBlock.store(blockSize, std::memory_order_relaxed);
  // A new stamp lets go of every feed of the last block at once.
  ++block;
  numLanes = std::min(newNumLanes, kMaxLanes);
  for (Lane& lane : lanes) lane.used = 0;
  // A set handed over by Replace comes in at this block boundary. A host
  // thread holds the lock only for a few moves; when it does, the swap
  // waits for the next block.
  if (handoverMutex.try_lock()) {
    InstallIncoming();
    RetireSilentSets();
    handoverMutex.unlock();
  }
  // A source feeds one angle's side, two while it crossfades, and a new
  // crossfade can start every kFadeLength samples; nor can a lane feed more
  // sides than there are.
  std::size_t numSides = 2 * angleCount;
  for (const DataSet* set = retired.get(); set; set = set->next.get())
    numSides += 2 * set->angleCount;
  const std::size_t fades = 2 + blockSize / static_cast<std::size_t>(kFadeLength);
  const std::size_t capacity =
      sourcesPerLane == 0 ? numSides : std::min(numSides, sourcesPerLane * fades);
  // Only the lanes this block mixes into need room.
  for (std::size_t k = 0; k < numLanes; ++k) {
    Lane& lane = lanes[k];
    if (lane.capacity < capacity || lane.storageSize < lane.capacity * blockSize) {
      // Uninitialised: a lane touches only the buffers it hands out, so the
      // rest costs address space, not memory.
      lane.capacity = std::max(lane.capacity, capacity);
      lane.storageSize = lane.capacity * blockSize;
      lane.storage = std::make_unique_for_overwrite<float[]>(lane.storageSize);
    }
  }
  for (const auto& bank : banks) {
    bank->Fit(blockSize);
    for (GroupWork& work : bank->groups) std::fill(work.isHopUsed.begin(), work.isHopUsed.end(), 0);
  }
}

std::size_t Spatializer::PrepareEndRender() {
  enabledAngles.clear();
  ForEachAngle([this](Angle& angle) {
    if (angle.isHopPending[0] || angle.isHopPending[1] || IsInputUsed(angle, 0) ||
        IsInputUsed(angle, 1))
      enabledAngles.push_back(&angle);
  });
  numGroups = std::min(enabledAngles.size(), kNumGroups);
  for (auto& halves : halvesDone) halves.store(0, std::memory_order_relaxed);
  // Groups not in use are complete (and empty) from the start.
  for (std::size_t g = numGroups; g < kNumGroups; ++g) MergeUp(g);
  return numGroups;
}

void Spatializer::EndRender(std::size_t index) noexcept {
  ORV_ASSERT(index < enabledAngles.size(), "OrvSpatializer");
  ORV_ASSERT(index < numGroups, "OrvSpatializer");
  // A run of neighbouring angles: their data and their lanes' inputs lie
  // close together, and mostly came from voices the same worker mixed.
  const std::size_t count = enabledAngles.size();
  for (std::size_t i = index * count / numGroups; i < (index + 1) * count / numGroups; ++i) {
    Angle& angle = *enabledAngles[i];
    Bank& bank = *banks[angle.bank];
    GroupWork& work = bank.groups[index];
    angle.group = static_cast<int>(index);
    for (int side = 0; side < 2; ++side) ProcessSide(angle, side, work, bank);
  }
  MergeUp(index);
}

void Spatializer::MergeUp(std::size_t index) noexcept {
  static_assert(std::has_single_bit(kNumGroups), "a full binary tree of groups");
  std::size_t width = 1;  // groups under the current node
  for (std::size_t node = kNumGroups + index; node > 1; node /= 2, width *= 2) {
    // The first half to complete leaves the addition to the second.
    if (halvesDone[node / 2].fetch_add(1, std::memory_order_acq_rel) == 0) return;
    const std::size_t first = (node / 2) * 2 * width - kNumGroups;
    const std::size_t second = first + width;
    for (const auto& bankOwner : banks) {
      GroupWork& into = bankOwner->groups[first];
      const GroupWork& from = bankOwner->groups[second];
      const std::size_t size = 4 * bankOwner->stride;
      for (std::size_t hop = 0; hop < from.isHopUsed.size(); ++hop) {
        if (!from.isHopUsed[hop]) continue;
        float* dst = into.sums.Data() + size * hop;
        const float* src = from.sums.Data() + size * hop;
        if (into.isHopUsed[hop]) {
          Accumulate(size, dst, src);
        } else {
          std::copy(src, src + size, dst);
          into.isHopUsed[hop] = 1;
        }
      }
    }
  }
}

void Spatializer::ProcessSide(Angle& angle, int side, GroupWork& work, const Bank& bank) noexcept {
  const float* in = SumLaneInputs(angle, side, work);
  bool isPending = angle.isHopPending[side];
  if (!in && !isPending) return;
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
        ComplexMultiplyAccumulate(n + 1, sums, sums + stride, sums + 2 * stride, sums + 3 * stride,
                                  re, im, first, first + stride, second, second + stride);
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

const float* Spatializer::SumLaneInputs(const Angle& angle, int side, GroupWork& work) noexcept {
  // In lane order, whichever threads mixed the lanes. Into the group's own
  // buffer: a lane's buffers stay in the cache of the thread that mixes it.
  const float* sum = nullptr;
  for (std::size_t lane = 0; lane < numLanes; ++lane) {
    const std::int32_t index = InputIndex(angle, side, lane);
    if (index < 0) continue;
    const float* input = lanes[lane].storage.get() + static_cast<std::size_t>(index) * blockSize;
    if (!sum) {
      sum = input;
      continue;
    }
    if (sum != work.input.Data()) {
      std::copy(sum, sum + blockSize, work.input.Data());
      sum = work.input.Data();
    }
    Accumulate(blockSize, work.input.Data(), input);
  }
  return sum;
}

std::vector<float> Spatializer::BlockInput(const Angle& angle, int side) const {
  std::vector<float> sum(blockSize, 0.0f);
  for (std::size_t lane = 0; lane < numLanes; ++lane) {
    const std::int32_t index = InputIndex(angle, side, lane);
    if (index < 0) continue;
    const float* input = lanes[lane].storage.get() + static_cast<std::size_t>(index) * blockSize;
    for (std::size_t i = 0; i < blockSize; ++i) sum[i] += input[i];
  }
  return sum;
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
  // The tree of groups has summed every group into the first.
  GroupWork& total = bank.groups[0];
  float* sums = total.isHopUsed[hopIndex] ? total.sums.Data() + 4 * stride * hopIndex : nullptr;
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
