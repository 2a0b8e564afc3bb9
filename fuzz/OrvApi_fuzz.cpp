// libFuzzer target: sequences of calls through the C table with hostile
// arguments (NaN and infinite vectors, volumes and rates, freed and made-up
// buffer handles, bad block sizes, a low-pass callback that returns
// anything). Every call must end in a stored error text or success; after
// every Render the output must be finite and within +-1.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <vector>

#include "orv/orv.h"

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Reads the input front to back; past its end every value is zero.
class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : data(data), size(size) {}
  bool IsEmpty() const { return at >= size; }
  std::uint8_t Byte() { return at < size ? data[at++] : 0; }
  template <typename T>
  T Raw() {
    T value{};
    std::uint8_t bytes[sizeof(T)] = {};
    for (auto& b : bytes) b = Byte();
    std::memcpy(&value, bytes, sizeof(T));
    return value;
  }
  template <typename T, std::size_t N>
  T Pick(const T (&choices)[N]) {
    return choices[Byte() % N];
  }
  // Mostly ordinary values, sometimes the edges, sometimes raw bits.
  float Float() {
    static const float kChoices[] = {0.0f, 1.0f,  -1.0f, 0.5f, 2.0f,  100.0f, 1e-30f, 1e30f,
                                     kInf, -kInf, kNaN,  3.0f, -1.5f, 1e-6f,  10.0f};
    const std::uint8_t how = Byte();
    if (how < 200) return kChoices[how % std::size(kChoices)];
    return Raw<float>();
  }
  Vector3 Vector() { return {Float(), Float(), Float()}; }

 private:
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;
};

float lowPassValue = 1.0f;
void LowPass(const Vector3*, float* result, void*) { *result = lowPassValue; }

void CheckBlock(const std::vector<float>& block) {
  for (float v : block) {
    if (!(std::fabs(v) <= 1.0f)) {
      std::fprintf(stderr, "Render produced %g\n", static_cast<double>(v));
      std::abort();
    }
  }
}

// The rates and counts a careless host might pass; the common ones first.
const double kRates[] = {48000.0, 44100.0,      8000.0, 96000.0, 1.0,     0.0,
                         -1.0,    std::nan(""), 1e-300, 2e9,     HUGE_VAL};
const std::int32_t kThreads[] = {1, 2, 3, 0, -1, 257, 0x7fffffff};
const std::int32_t kPolyphony[] = {64, 2, 1, 0, -1, 0x7fffffff};

// Building a context transforms the whole HRTF set, which costs far more
// than a call sequence; most inputs share one ordinary context, renewed now
// and then so that the voices of earlier inputs do not pile up.
constexpr int kSharedRuns = 200;
OrvContext shared{};
int sharedRuns = 0;

OrvContext Shared() {
  if (shared.context && ++sharedRuns < kSharedRuns) return shared;
  if (shared.context) shared.Destroy(shared.context);
  if (OrvInitialize(1, 1, &shared) != nullptr) std::abort();
  InitParam init{};
  init.samplingRate = 48000.0;
  init.numThreads = 2;
  init.maxPolyphonics = 64;
  init.lowPassCallback = &LowPass;
  shared.Init(shared.context, &init);
  sharedRuns = 0;
  return shared;
}

void Run(Bytes& in) {
  // One input in eight builds its own context from hostile parameters.
  const bool isOwn = (in.Byte() & 7) == 0;
  OrvContext t = isOwn ? OrvContext{} : Shared();
  if (isOwn && OrvInitialize(1, 1, &t) != nullptr) std::abort();
  ContextPrivate* c = t.context;
  lowPassValue = in.Float();
  InitParam init{};
  init.samplingRate = in.Pick(kRates);
  init.numThreads = in.Pick(kThreads);
  init.maxPolyphonics = in.Pick(kPolyphony);
  init.lowPassCallback = (in.Byte() & 7) ? &LowPass : nullptr;
  if (isOwn) t.Init(c, &init);

  std::vector<Buffer*> buffers;  // freed ones stay in the list on purpose
  std::vector<std::uint8_t> sampleBytes;
  std::vector<float> block;
  int renders = 0;
  while (!in.IsEmpty() && renders < 24) {
    switch (in.Byte() % 9) {
      case 0: {  // a second Init, replacing the context
        if (!isOwn) break;
        InitParam again = init;
        again.samplingRate = in.Pick(kRates);
        again.numThreads = in.Pick(kThreads);
        t.Init(c, &again);
        break;
      }
      case 1: {
        static const std::int32_t kBits[] = {32, 16, 8, 24, 0};
        static const std::int32_t kChannels[] = {1, 2, 3, 0, -1};
        static const double kBufferRates[] = {48000.0,  22050.0, 1.0,          0.0,
                                              -48000.0, 1e30,    std::nan(""), HUGE_VAL};
        BufferParam bp{};
        bp.bits = in.Pick(kBits);
        bp.numChannels = in.Pick(kChannels);
        bp.numSamples = in.Byte() * 4 - 8;
        bp.samplingRate = in.Pick(kBufferRates);
        const std::size_t bytes =
            bp.numSamples > 0 && bp.numChannels > 0 && bp.bits > 0
                ? static_cast<std::size_t>(bp.numSamples) * bp.numChannels * bp.bits / 8
                : 0;
        sampleBytes.resize(bytes);
        for (std::size_t i = 0; i < bytes; i += 4) {
          const float f = in.Float();
          std::memcpy(&sampleBytes[i], &f, std::min<std::size_t>(4, bytes - i));
        }
        bp.data = bytes ? sampleBytes.data() : (in.Byte() & 1 ? sampleBytes.data() : nullptr);
        if (Buffer* b = t.CreateBuffer(c, &bp)) buffers.push_back(b);
        break;
      }
      case 2: {  // a live, freed, foreign or made-up handle
        const std::uint8_t which = in.Byte();
        Buffer* b = nullptr;
        if (!buffers.empty() && which < 200)
          b = buffers[which % buffers.size()];
        else if (which < 230)
          b = reinterpret_cast<Buffer*>(&block);
        t.FreeBuffer(c, b);
        break;
      }
      case 3: {
        const Vector3 eye = in.Vector(), front = in.Vector(), up = in.Vector();
        const ReverbParam room{in.Float(), in.Float(), in.Float(), in.Float(), in.Float()};
        t.Respatialize(c, &eye, &front, &up, &room);
        break;
      }
      case 4:
      case 5:
      case 6: {
        const std::uint8_t which = in.Byte();
        Buffer* b = buffers.empty() || which >= 240 ? reinterpret_cast<Buffer*>(&renders)
                                                    : buffers[which % buffers.size()];
        const Vector3 origin = in.Vector();
        const PlayParam play{in.Float(), in.Float(), in.Float()};
        const std::uint8_t mode = in.Byte() % 3;
        if (mode == 0) t.PlayAbsolute(c, b, &origin, &play);
        if (mode == 1) t.PlayRelative(c, b, &origin, &play);
        if (mode == 2) t.PlayLocal(c, b, &play);
        break;
      }
      case 7: {
        static const int kFrames[] = {256, 512, 64, 1, 333, 1024, 0, -1, ORV_MAX_RENDER_FRAMES + 1};
        const int frames = in.Pick(kFrames);
        block.assign(2 * static_cast<std::size_t>(frames > 0 ? frames : 1), 0.0f);
        t.Render(c, block.data(), frames);
        CheckBlock(block);
        ++renders;
        break;
      }
      case 8:
        if (const char* text = t.CheckError(c)) (void)std::strlen(text);
        break;
    }
  }
  if (isOwn) {
    t.Destroy(c);
  } else {
    for (Buffer* b : buffers) t.FreeBuffer(c, b);  // the freed ones only fail
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bytes in(data, size);
  Run(in);
  return 0;
}
