// The binaural spatializer: renders any number of positioned mono sources for
// headphones. Each source adds its samples into the input of the measured
// direction (Angle) nearest to it. The data set holds the right half of the
// circle; sources on the left use the mirrored angle, ears exchanged.
//
// Convolution happens in the frequency domain and is summed there: every
// hop of N frames (N the responses' length), each angle input that carried
// sound takes one forward transform, whose spectrum is multiplied by the
// angle's two response spectra into per-ear accumulators (a mirrored input
// uses the same spectra, ears exchanged). The angles in use are split into
// at most kNumGroups runs of neighbours (groups), each with its own
// accumulators, so that worker threads can take groups without locks. The
// groups' sums are added pairwise along a fixed tree as groups finish, and
// once per hop two inverse transforms serve the whole set. The grouping
// depends only on the angles in use, never on the thread count, so the
// output does not either. So the cost grows with the directions in use, not
// with the sources, and an angle that is silent in a hop costs nothing.
//
// The output equals one half of the linear convolution of each angle's
// input with its responses, delayed by N frames (the real transform's
// scaling), summed over the angles.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "common/OrvThreadLocalBuffer.h"
#include "common/OrvVector3.h"
#include "dsp/OrvConvolver_RealFFT.h"
#include "dsp/OrvInternals_AlignedArray.h"
#include "dsp/OrvInterpolationHelper.h"

namespace orv {

class Spatializer : public std::enable_shared_from_this<Spatializer> {
 public:
  // One measured direction: its response spectra, the per-block inputs that
  // sources accumulate into (direct for azimuth >= 0, mirrored below) and
  // the part of the current hop that a block left unfinished.
  class Angle {
   public:
    // Transforms both responses (tapCount taps) with fft, of size tapCount.
    Angle(float azimuth, const float* leftResponse, const float* rightResponse, int tapCount,
          RealFFT& fft);

    float azimuth;
    std::size_t bank = 0;  // the spatializer's bank of this tap count
    // Left real, left imaginary, right real, right imaginary: tapCount + 1
    // bins each, every part on a 16-float boundary.
    AlignedArray<float> spectra;
    // Per lane, on a cache line of its own since lanes mix on different
    // threads: the lane's input buffer for each side (0 direct, 1 mirrored),
    // valid only in the block its stamp names. Written only by the lane's
    // thread; the stamp spares the block's start a write to every line the
    // workers used.
    struct alignas(64) LaneFeed {
      std::array<std::uint64_t, 2> block{};
      std::array<std::int32_t, 2> index{};
    };
    std::array<LaneFeed, kMaxLanes> laneFeeds;

    // Samples of the unfinished hop, per side (0 direct, 1 mirrored); only
    // the thread that processes the angle's group touches them.
    std::array<std::vector<float>, 2> hop;
    std::array<bool, 2> isHopPending{};      // hop holds samples of this hop
    std::array<bool, 2> isHopSignificant{};  // ... and one of them is audible
    int group = -1;                          // the group that last took the angle
  };

  // One elevation with its angles in ascending azimuth.
  class Ring {
   public:
    float elevation = 0.0f;
    InterpolationHelper azimuths;
    std::vector<std::shared_ptr<Angle>> angles;
  };

  // One positioned sound. Mixed by one thread at a time.
  class Source {
   public:
    explicit Source(Spatializer& owner);

    // Adds count samples at block frames offset .. offset + count - 1, heard
    // from position (listener space), into the inputs of lane (below
    // kMaxLanes). ORV_REALTIME: no locks, no allocation. Only while the
    // spatializer's owner keeps it alive, as the engine does over a block:
    // the source does not lock its weak reference, whose count every worker
    // would otherwise write for every voice.
    void Mix(const float* samples, int offset, int count, const Vector3& position,
             std::size_t lane = 0);
    // The same with the direction in degrees (azimuth from the front towards
    // the right, elevation upwards).
    void Mix(const float* samples, int offset, int count, float azimuth, float elevation,
             std::size_t lane = 0);

    // Where a caller may add the block's samples from frame offset on
    // itself, heard from position, instead of calling Mix: the lane's input
    // of the source's angle (pointing at offset), when the source stays on
    // that angle and no crossfade runs; a fresh input is cleared first. Null
    // otherwise; Mix then does what the position asks. ORV_REALTIME, with
    // Mix's conditions.
    float* SteadyInput(int offset, const Vector3& position, std::size_t lane = 0) noexcept;

    // The group that took the angle the source feeds (the one it fades
    // into, during a crossfade) in the last block, or -1. Between blocks,
    // or on the thread that mixes the source.
    int Group() const noexcept;

   private:
    // Spatializer::Nearest for a position, kept while the position and the
    // set stay: a voice usually stays put over many blocks, and the arc
    // tangents and searches cost more than its mix.
    const std::shared_ptr<Angle>* NearestTo(const Vector3& position, bool& isMirrored) noexcept;
    void MixAt(const std::shared_ptr<Angle>* nearest, bool newMirrored, const float* samples,
               int offset, int count, std::size_t lane);
    template <int direction>
    void InnerMix(Spatializer& owner, Angle* angle, bool mirrored, std::size_t lane,
                  const float* samples, int offset, int count, float fade);

    std::weak_ptr<Spatializer> spatializer;
    Spatializer* owner;  // what spatializer refers to, while it lives
    Vector3 lastPosition{0.0f, 0.0f, 0.0f};
    const std::shared_ptr<Angle>* lastNearest = nullptr;  // for lastPosition
    bool lastMirrored = false;
    std::uint64_t lastSet = 0;  // the setVersion lastNearest belongs to; 0: none
    std::shared_ptr<Angle> current;
    std::shared_ptr<Angle> next;  // the angle being faded in
    float fade = 0.0f;            // crossfade progress, a multiple of 1/128
    bool mirrored = false;
  };

  // Parses and validates ORVHRTFD data and resamples it to samplingRate
  // (clamped into the rates a set may have); throws Exception on bad data.
  // Must be created owned by a shared pointer (sources refer to it weakly).
  Spatializer(const void* data, std::size_t size, double samplingRate);
  ~Spatializer();
  Spatializer(const Spatializer&) = delete;
  Spatializer& operator=(const Spatializer&) = delete;

  // Host threads: loads another set as the constructor does, every
  // allocation on the calling thread, and hands it to the render thread,
  // which swaps it in at its next BeginRender. Sources then crossfade from
  // their angle of the old set to the nearest of the new, as for a
  // direction change; old angles are processed until no source holds them
  // and their hops are done, and freed by a later Replace or the destructor.
  // Throws Exception on bad data, and the current set stays. Calls are
  // serialised; a set not yet swapped in is dropped for a newer one.
  void Replace(const void* data, std::size_t size);

  std::shared_ptr<Source> CreateSource();

  // Floats between the parts of a response spectrum: tapCount + 1 bins,
  // rounded up to a cache line so that every part stays aligned.
  static constexpr std::size_t SpectrumStride(int tapCount) noexcept {
    return (static_cast<std::size_t>(tapCount) + 16) / 16 * 16;
  }

  static constexpr std::size_t kNumGroups = 16;

  // Engine, per block: BeginRender, then Mix from any threads (one thread per
  // lane at a time), then PrepareEndRender once, EndRender exactly once for
  // every index below its result (concurrently allowed), then FinishRender
  // once. Sources mix into lanes below numLanes; sourcesPerLane bounds the
  // sources any one lane mixes in the block (0: no bound). ORV_REALTIME
  // apart from growing the buffers when the block size, the lanes or
  // sourcesPerLane grow, or a set with more angles comes in.
  void BeginRender(std::size_t blockSize, std::size_t numLanes = kMaxLanes,
                   std::size_t sourcesPerLane = 0);
  // The number of groups of angles to transform in this block.
  std::size_t PrepareEndRender();
  // Transforms the block's input of every angle in group index into the
  // group's accumulators, then adds them into the tree of sums.
  void EndRender(std::size_t index) noexcept;
  // Adds the binaural output of the block (blockSize interleaved stereo
  // frames) to output: the hops completed in the block, summed over the
  // groups, are transformed back.
  void FinishRender(float* output) noexcept;

  const std::vector<std::shared_ptr<Ring>>& Rings() const { return rings; }
  // What angle's side (0 direct, 1 mirrored) heard in the block so far,
  // summed over the lanes; zeros when unused. For inspection: allocates.
  std::vector<float> BlockInput(const Angle& angle, int side) const;
  // Whether some lane fed angle's side in the block so far.
  bool IsInputUsed(const Angle& angle, int side) const noexcept;
  const InterpolationHelper& Elevations() const { return elevations; }

 private:
  // One group's share of a bank: its own transform and the per-ear spectra
  // of every hop that completes in the block. The transform has plans of
  // its own: groups run on different threads, and a plan may keep work
  // arrays.
  struct GroupWork {
    explicit GroupWork(int size) : fft(size) {}
    RealFFT fft;
    AlignedArray<float> frame;     // 2N samples: one hop, zero-padded
    AlignedArray<float> spectrum;  // real and imaginary parts, stride apart
    AlignedArray<float> sums;      // per hop: left re, left im, right re, right im
    AlignedArray<float> input;     // one block: an angle's lane inputs summed
    std::vector<char> isHopUsed;   // per hop: sums hold this block's products
  };

  // All angles of one tap count N share a hop grid, the accumulators and the
  // overlap-add output.
  struct Bank {
    explicit Bank(int tapCount);
    // Sizes the per-hop work for blocks of up to blockSize frames.
    void Fit(std::size_t blockSize);
    int size;            // N
    std::size_t stride;  // floats between the parts of a spectrum
    int position = 0;    // frames of the current hop before this block
    std::size_t hopCapacity = 0;
    RealFFT fft;                      // the inverse transforms, on the finishing thread
    AlignedArray<float> left, right;  // [0, N): this hop's output; [N, 2N): overlap
    AlignedArray<float> tail;         // N floats of overlap while a hop is formed
    bool isSounding = false;          // left or right holds a non-zero sample
    std::vector<GroupWork> groups;
  };

  // The angle inputs that one lane's sources fed in this block: buffers of
  // blockSize samples, handed out in the order the lane first touches an
  // angle's side. Only the lane's own thread writes them until the block's
  // mixing is done; the angle's group thread reads them after. A line each:
  // lanes count their buffers on different threads.
  struct alignas(64) Lane {
    std::unique_ptr<float[]> storage;  // capacity * blockSize
    std::size_t storageSize = 0;
    std::size_t capacity = 0;  // buffers
    std::size_t used = 0;      // buffers handed out in this block
  };

  // The lane's buffer for angle's side; fresh tells whether it was handed
  // out just now (its contents are then undefined). Null when the lane has
  // no buffer left, which sourcesPerLane rules out.
  float* LaneInput(Angle& angle, int side, std::size_t lane, bool& fresh) noexcept;
  // The lane's buffer index for angle's side in this block, or -1.
  std::int32_t InputIndex(const Angle& angle, int side, std::size_t lane) const noexcept;
  // The side's input of the block: the lanes' buffers summed, into work's
  // input when more than one lane fed it; null when none did.
  const float* SumLaneInputs(const Angle& angle, int side, GroupWork& work) noexcept;
  // One loaded set on its way between threads: built by a host thread with
  // the banks its new tap counts need and enabledAngles storage for every
  // angle that can be alive after it, swapped in by the render thread, after
  // which it holds the replaced set until that set's angles fall silent
  // (linked through next), then waits for a host thread to free it.
  struct DataSet {
    std::vector<std::shared_ptr<Ring>> rings;
    InterpolationHelper elevations;
    std::vector<std::unique_ptr<Bank>> banks;
    std::vector<Angle*> enabledAngles;
    std::size_t angleCount = 0;
    std::unique_ptr<DataSet> next;
  };

  // Every distinct power-of-two tap count fits, so banks never reallocate.
  static constexpr std::size_t kMaxBanks = 32;

  // Loads, validates and resamples data and builds its angles; new tap
  // counts are appended to sizes, with their banks in the set.
  std::unique_ptr<DataSet> LoadData(const void* data, std::size_t size, std::vector<int>& sizes);
  void InstallIncoming() noexcept;
  void RetireSilentSets() noexcept;
  template <typename Visit>
  void ForEachAngle(const Visit& visit) const;
  // The angle nearest to a direction in degrees, and whether it is heard
  // mirrored (a source on the left); null when the set has no angle there.
  const std::shared_ptr<Angle>* Nearest(float azimuth, float elevation,
                                        bool& isMirrored) const noexcept;
  void ProcessSide(Angle& angle, int side, GroupWork& work, const Bank& bank) noexcept;
  // Group index's sums are complete: adds them along the tree of groups.
  // Node k's sum lives in the accumulators of its first group; whichever of
  // a node's two halves completes last adds the second into the first. The
  // tree is fixed, so the sums do not depend on which thread adds what.
  void MergeUp(std::size_t index) noexcept;
  void FinishHop(Bank& bank, std::size_t hop) noexcept;

  std::vector<std::shared_ptr<Ring>> rings;
  // Counts the sets swapped in, from 1: a source's remembered angle belongs
  // to the set it was found in.
  std::uint64_t setVersion = 1;
  InterpolationHelper elevations;
  std::size_t blockSize = 0;
  std::size_t numLanes = 0;   // lanes that may mix in this block
  std::uint64_t block = 0;    // counts the blocks begun, from 1: stamps lane feeds
  std::size_t numGroups = 0;  // groups in use in this block
  // Per inner node of the tree of groups (heap order, root 1): halves done.
  std::array<std::atomic<std::uint8_t>, kNumGroups> halvesDone{};
  std::vector<Angle*> enabledAngles;
  std::array<Lane, kMaxLanes> lanes;
  std::vector<std::unique_ptr<Bank>> banks;

  double samplingRate;                       // the rate sets are resampled to
  std::unique_ptr<DataSet> retired;          // render thread: replaced sets still sounding
  std::size_t angleCount = 0;                // angles of the set in use
  std::atomic<std::size_t> largestBlock{0};  // sizes a new set's buffers

  // Host side, under replaceMutex: the tap count of every bank, installed
  // or on its way, and the angles of every set not yet freed.
  std::mutex replaceMutex;
  std::vector<int> bankSizes;
  std::size_t liveAngles = 0;

  // The hand-over, under handoverMutex; the render thread only try-locks it.
  std::mutex handoverMutex;
  std::unique_ptr<DataSet> incoming;   // the next set, not yet swapped in
  std::unique_ptr<DataSet> graveyard;  // silent sets, for a host thread to free
};

}  // namespace orv
