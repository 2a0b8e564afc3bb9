// Loading data sets into the spatializer: the angles built from parsed,
// validated and resampled data (OrvSpatializer_HrtfSet), and the hand-over
// of a replacement set from a host thread to the render thread.
#include <algorithm>
#include <iterator>
#include <map>

#include "spatializer/OrvSpatializer.h"
#include "spatializer/OrvSpatializer_HrtfSet.h"

namespace orv {

Spatializer::Angle::Angle(float angleAzimuth, const float* leftResponse, const float* rightResponse,
                          int taps, RealFFT& fft)
    : azimuth(angleAzimuth) {
  const std::size_t n = static_cast<std::size_t>(taps);
  const std::size_t stride = SpectrumStride(taps);
  spectra.resize(4 * stride);
  std::fill(spectra.begin(), spectra.end(), 0.0f);
  // Each response, zero-padded to the transform's 2N samples.
  AlignedArray<float> padded(2 * n);
  std::fill(padded.begin(), padded.end(), 0.0f);
  std::copy(leftResponse, leftResponse + n, padded.Data());
  fft.ForwardTransform(spectra.Data(), spectra.Data() + stride, padded.Data());
  std::copy(rightResponse, rightResponse + n, padded.Data());
  fft.ForwardTransform(spectra.Data() + 2 * stride, spectra.Data() + 3 * stride, padded.Data());
  for (auto& samples : hop) samples.assign(n, 0.0f);
}

Spatializer::Spatializer(const void* data, std::size_t size, double rate) : samplingRate(rate) {
  banks.reserve(kMaxBanks);
  std::unique_ptr<DataSet> set = LoadData(data, size, bankSizes);
  // PrepareEndRender then never allocates.
  set->enabledAngles.reserve(set->angleCount);
  liveAngles = set->angleCount;
  incoming = std::move(set);
  InstallIncoming();
  retired.reset();  // the empty set the first one replaced
}

Spatializer::~Spatializer() = default;

std::unique_ptr<Spatializer::DataSet> Spatializer::LoadData(const void* data, std::size_t size,
                                                            std::vector<int>& sizes) {
  // No set is measured beyond these rates; a context outside them gets the
  // nearest.
  const HrtfSet set = ResampleHrtfSet(LoadHrtfSet(data, size),
                                      std::clamp(samplingRate, kHrtfMinRate, kHrtfMaxRate));
  auto result = std::make_unique<DataSet>();
  // The forward transforms of this thread: the banks' own belong to the
  // render thread.
  std::map<int, RealFFT> ffts;
  const std::size_t capacity = largestBlock.load(std::memory_order_relaxed);
  for (const HrtfRing& ringData : set.rings) {
    auto ring = std::make_shared<Ring>();
    ring->elevation = ringData.elevation;
    for (const HrtfAngle& angleData : ringData.angles) {
      const int taps = static_cast<int>(angleData.left.size());
      auto known = std::find(sizes.begin(), sizes.end(), taps);
      if (known == sizes.end()) {
        result->banks.push_back(std::make_unique<Bank>(taps));
        result->banks.back()->Fit(capacity);
        sizes.push_back(taps);
        known = sizes.end() - 1;
      }
      RealFFT& fft = ffts.try_emplace(taps, taps).first->second;
      auto angle = std::make_shared<Angle>(angleData.azimuth, angleData.left.data(),
                                           angleData.right.data(), taps, fft);
      angle->bank = static_cast<std::size_t>(known - sizes.begin());
      ring->angles.push_back(std::move(angle));
      ring->azimuths.AddKey(angleData.azimuth);
    }
    result->elevations.AddKey(ring->elevation);
    result->rings.push_back(std::move(ring));
  }
  result->angleCount = set.AngleCount();
  return result;
}

void Spatializer::Replace(const void* data, std::size_t size) {
  // Freed when this function returns, on this thread.
  std::unique_ptr<DataSet> dropped, dead;
  std::lock_guard<std::mutex> replaceLock(replaceMutex);
  std::vector<int> sizes = bankSizes;
  std::unique_ptr<DataSet> set = LoadData(data, size, sizes);
  const std::size_t newAngles = set->angleCount;
  // Room for every angle that can be alive once it is in use.
  set->enabledAngles.reserve(liveAngles + newAngles);
  {
    std::lock_guard<std::mutex> handover(handoverMutex);
    dropped = std::move(incoming);
    dead = std::move(graveyard);
    // A set never swapped in still brings its banks, which sizes counts
    // before the new set's.
    if (dropped)
      set->banks.insert(set->banks.begin(), std::make_move_iterator(dropped->banks.begin()),
                        std::make_move_iterator(dropped->banks.end()));
    incoming = std::move(set);
  }
  bankSizes = std::move(sizes);
  liveAngles += newAngles;
  if (dropped) liveAngles -= dropped->angleCount;
  for (const DataSet* d = dead.get(); d; d = d->next.get()) liveAngles -= d->angleCount;
}

void Spatializer::InstallIncoming() noexcept {
  if (!incoming) return;
  // Within the capacity reserved at construction.
  for (auto& bank : incoming->banks) banks.push_back(std::move(bank));
  rings.swap(incoming->rings);
  ++setVersion;
  std::swap(elevations, incoming->elevations);
  enabledAngles.swap(incoming->enabledAngles);
  std::swap(angleCount, incoming->angleCount);
  // incoming now holds the replaced set.
  incoming->next = std::move(retired);
  retired = std::move(incoming);
}

void Spatializer::RetireSilentSets() noexcept {
  std::unique_ptr<DataSet>* link = &retired;
  while (*link) {
    // Silent: no source holds an angle (the ring's is the only reference),
    // and no hop waits for input; what the angles contributed now sounds
    // from their banks.
    bool isSilent = true;
    for (const auto& ring : (*link)->rings)
      for (const auto& angle : ring->angles)
        isSilent &= angle.use_count() == 1 && !angle->isHopPending[0] && !angle->isHopPending[1];
    if (!isSilent) {
      link = &(*link)->next;
      continue;
    }
    std::unique_ptr<DataSet> silent = std::move(*link);
    *link = std::move(silent->next);
    silent->next = std::move(graveyard);
    graveyard = std::move(silent);
  }
}

}  // namespace orv
