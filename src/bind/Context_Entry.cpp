// The host boundary: the exported entry point and the table functions of
// both interface versions.
// Every failure inside becomes the text that CheckError returns; nothing
// leaves as an exception.
#include <array>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_set>

#include "bind/Context.h"
#include "bind/Context_Buffer.h"
#include "bind/Context_Callback.h"
#include "common/OrvException.h"
#include "orv/orv.h"

namespace {

// Numbers every stored failure across all records, so that a reader's copy
// can tell whether it is current even for a record at a reused address.
std::atomic<std::uint64_t> failureCount{0};

}  // namespace

struct OrvContextPrivate {
  ~OrvContextPrivate() {
    for (orvbind::BufferHandle* buffer : buffers) delete buffer;
  }

  std::shared_ptr<orvbind::Context> contextOwner;
  int version = 1;  // the interface version the table was filled for
  std::mutex errorMutex;
  std::string lastError;
  std::uint64_t lastFailure = 0;  // 0: none yet
  // The live buffer handles. Buffers belong to the record, not to the
  // context, so that they outlive a second Init as they always have. Only
  // the host's calls take this lock; the render path never does.
  std::mutex buffersMutex;
  std::unordered_set<orvbind::BufferHandle*> buffers;
};

namespace orvbind {
namespace {

::OrvBuffer* ToHandle(BufferHandle* buffer) { return reinterpret_cast<::OrvBuffer*>(buffer); }

void StoreError(ContextPrivate* record, const char* text) {
  std::lock_guard<std::mutex> lock(record->errorMutex);
  record->lastError = text;
  record->lastFailure = ++failureCount;
}

// What CheckError hands out is the calling thread's own copy of the text, so
// that another thread's failure can never rewrite it while it is read. A
// thread keeps copies for its few most recently checked records.
struct ReaderCopy {
  const ContextPrivate* record = nullptr;
  std::uint64_t failure = 0;
  std::uint64_t lastUse = 0;
  std::string text;
};
constexpr std::size_t kReaderCopies = 4;
thread_local std::array<ReaderCopy, kReaderCopies> readerCopies;
thread_local std::uint64_t readerClock = 0;

// The calling thread's copy of record's text. Error lock held.
const char* ReaderText(const ContextPrivate* record) {
  ReaderCopy* copy = nullptr;
  for (ReaderCopy& c : readerCopies)
    if (c.record == record) copy = &c;
  if (!copy) {
    copy = &readerCopies[0];
    for (ReaderCopy& c : readerCopies)
      if (c.lastUse < copy->lastUse) copy = &c;
    copy->record = record;
    copy->failure = 0;
  }
  copy->lastUse = ++readerClock;
  if (copy->failure != record->lastFailure) {
    try {
      copy->text = record->lastError;
    } catch (const std::bad_alloc&) {
      copy->record = nullptr;
      return "Out of memory.";
    }
    copy->failure = record->lastFailure;
  }
  return copy->text.c_str();
}

// Runs body, storing any error's text. Argument checks throw the same
// Exception, so the first failed check's message is what the host sees.
template <typename Body>
void Guard(ContextPrivate* record, Body&& body) {
  try {
    body();
  } catch (const std::exception& error) {
    try {
      StoreError(record, error.what());
    } catch (...) {
      // Not even the error text fits in memory; nothing more can be said.
    }
  }
}

Context& Initialized(ContextPrivate* record) {
  if (!record->contextOwner) throw orv::Exception("Not initialized.");
  if (CallbackScope::IsInside(record->contextOwner.get()))
    throw orv::Exception("Called from inside a callback.");
  return *record->contextOwner;
}

// The sound data behind a live handle. The shared owner is taken under the
// registry lock, so a FreeBuffer on another thread cannot free it first.
std::shared_ptr<SoundData> LiveData(ContextPrivate* record, ::OrvBuffer* handle) {
  BufferHandle* buffer = reinterpret_cast<BufferHandle*>(handle);
  std::lock_guard<std::mutex> lock(record->buffersMutex);
  if (record->buffers.count(buffer) == 0) throw orv::Exception("Invalid buffer handle.");
  return buffer->Data();
}

// Infinite volumes are refused like NaN ones: a single voice at infinite
// gain would drive the limiter to silence the whole mix.
void CheckVolume(const PlayParam& params) {
  if (!std::isfinite(params.volume)) throw orv::Exception("NaN gain.");
}

OrvVoice* RequiredVoice(OrvVoice* voice) {
  if (!voice) throw orv::Exception("Parameter voice is null.");
  return voice;
}

template <typename T>
const T& Required(const T* pointer, const char* message) {
  if (!pointer) throw orv::Exception("%s", message);
  return *pointer;
}

}  // namespace

// The table functions.
struct TableFunctions {
  static void Init(ContextPrivate* record, const InitParam* param) {
    Guard(record, [&] {
      if (record->contextOwner && CallbackScope::IsInside(record->contextOwner.get()))
        throw orv::Exception("Called from inside a callback.");
      const InitParam& p = Required(param, "Parameter is null.");
      // Replace, never merge: the old context stays if building fails.
      std::shared_ptr<Context> context = Context::Create(p, record->version);
      record->contextOwner.swap(context);
    });
  }

  static void Destroy(ContextPrivate* record) {
    if (!record) return;
    if (record->contextOwner && CallbackScope::IsInside(record->contextOwner.get())) {
      // Destroying the context from its own callback would free what is running.
      Guard(record, [] { throw orv::Exception("Called from inside a callback."); });
      return;
    }
    delete record;
  }

  static const char* CheckError(ContextPrivate* record) {
    std::lock_guard<std::mutex> lock(record->errorMutex);
    return record->lastFailure == 0 ? nullptr : ReaderText(record);
  }

  static ::OrvBuffer* CreateBuffer(ContextPrivate* record, const BufferParam* param) {
    ::OrvBuffer* result = nullptr;
    Guard(record, [&] {
      Initialized(record);
      const BufferParam& p = Required(param, "Parameter is null.");
      auto buffer = std::make_unique<BufferHandle>(p);
      std::lock_guard<std::mutex> lock(record->buffersMutex);
      record->buffers.insert(buffer.get());
      result = ToHandle(buffer.release());
    });
    return result;
  }

  static void FreeBuffer(ContextPrivate* record, ::OrvBuffer* buffer) {
    Guard(record, [&] {
      Initialized(record);
      Required(buffer, "Parameter is null.");
      std::unique_ptr<BufferHandle> owned;
      {
        std::lock_guard<std::mutex> lock(record->buffersMutex);
        const auto found = record->buffers.find(reinterpret_cast<BufferHandle*>(buffer));
        if (found == record->buffers.end()) throw orv::Exception("Invalid buffer handle.");
        owned.reset(*found);
        record->buffers.erase(found);
      }
    });
  }

  static void Respatialize(ContextPrivate* record, const Vector3* eye, const Vector3* front,
                           const Vector3* up, const ReverbParam* reverb) {
    Guard(record, [&] {
      Context& context = Initialized(record);
      const Vector3& e = Required(eye, "Parameter eye is null.");
      const Vector3& f = Required(front, "Parameter front is null.");
      const Vector3& u = Required(up, "Parameter up is null.");
      const ReverbParam& r = Required(reverb, "Parameter reverb is null.");
      context.Respatialize(e, f, u, r);
    });
  }

  static void PlayAbsolute(ContextPrivate* record, ::OrvBuffer* buffer, const Vector3* origin,
                           const PlayParam* params) {
    PlayPositioned(record, buffer, origin, params, false);
  }

  static void PlayRelative(ContextPrivate* record, ::OrvBuffer* buffer, const Vector3* origin,
                           const PlayParam* params) {
    PlayPositioned(record, buffer, origin, params, true);
  }

  static void PlayPositioned(ContextPrivate* record, ::OrvBuffer* buffer, const Vector3* origin,
                             const PlayParam* params, bool isRelative) {
    Guard(record, [&] {
      Context& context = Initialized(record);
      Required(buffer, "Parameter buffer is null.");
      const Vector3& o = Required(origin, "Parameter origin is null.");
      const PlayParam& p = Required(params, "Parameter params is null.");
      std::shared_ptr<SoundData> data = LiveData(record, buffer);
      CheckVolume(p);
      if (isRelative)
        context.PlayRelative(std::move(data), o, p);
      else
        context.PlayAbsolute(std::move(data), o, p);
    });
  }

  static void PlayLocal(ContextPrivate* record, ::OrvBuffer* buffer, const PlayParam* params) {
    Guard(record, [&] {
      Context& context = Initialized(record);
      Required(buffer, "Parameter buffer is null.");
      const PlayParam& p = Required(params, "Parameter params is null.");
      std::shared_ptr<SoundData> data = LiveData(record, buffer);
      CheckVolume(p);
      context.PlayLocal(std::move(data), p);
    });
  }

  static void Render(ContextPrivate* record, float* stream, int numFrames) {
    Guard(record, [&] {
      Context& context = Initialized(record);
      Required(stream, "Parameter stream is null.");
      context.Render(stream, numFrames);
    });
  }

  // --- Version 2 ---------------------------------------------------------------

  static OrvVoice* Play(ContextPrivate* record, ::OrvBuffer* buffer, const OrvVoiceParam* param) {
    OrvVoice* result = nullptr;
    Guard(record, [&] {
      Context& context = Initialized(record);
      Required(buffer, "Parameter buffer is null.");
      const OrvVoiceParam& p = Required(param, "Parameter param is null.");
      result = context.PlayVoice(LiveData(record, buffer), p);
    });
    return result;
  }

  static void MoveVoice(ContextPrivate* record, OrvVoice* voice, const Vector3* position,
                        const Vector3* velocity) {
    Guard(record, [&] {
      Context& context = Initialized(record);
      RequiredVoice(voice);
      const Vector3& p = Required(position, "Parameter position is null.");
      context.MoveVoice(voice, p, velocity);
    });
  }

  static void SetVoiceVolume(ContextPrivate* record, OrvVoice* voice, float volume) {
    Guard(record, [&] {
      Context& context = Initialized(record);
      context.SetVoiceVolume(RequiredVoice(voice), volume);
    });
  }

  static void SetVoiceSpeed(ContextPrivate* record, OrvVoice* voice, float speed) {
    Guard(record, [&] {
      Context& context = Initialized(record);
      context.SetVoiceSpeed(RequiredVoice(voice), speed);
    });
  }

  static void StopVoice(ContextPrivate* record, OrvVoice* voice) {
    Guard(record, [&] { Initialized(record).StopVoice(RequiredVoice(voice)); });
  }

  static int32_t VoiceState(ContextPrivate* record, OrvVoice* voice) {
    int32_t state = ORV_VOICE_ENDED;
    Guard(record, [&] { state = Initialized(record).VoiceState(RequiredVoice(voice)); });
    return state;
  }

  static void ReleaseVoice(ContextPrivate* record, OrvVoice* voice) {
    Guard(record, [&] { Initialized(record).ReleaseVoice(RequiredVoice(voice)); });
  }

  static int64_t FrameClock(ContextPrivate* record) {
    int64_t frames = -1;
    Guard(record, [&] { frames = Initialized(record).FrameClock(); });
    return frames;
  }

  static void SetListenerVelocity(ContextPrivate* record, const Vector3* velocity) {
    Guard(record, [&] {
      Context& context = Initialized(record);
      context.SetListenerVelocity(Required(velocity, "Parameter velocity is null."));
    });
  }

  static void LoadHrtf(ContextPrivate* record, const void* data, int64_t size) {
    Guard(record, [&] {
      Context& context = Initialized(record);
      if (!data) throw orv::Exception("Parameter data is null.");
      if (size <= 0 || static_cast<std::uint64_t>(size) > SIZE_MAX)
        throw orv::Exception("Invalid data size.");
      context.LoadHrtf(data, static_cast<std::size_t>(size));
    });
  }

  static void SetOption(ContextPrivate* record, int32_t option, double value) {
    Guard(record, [&] { Initialized(record).SetOption(option, value); });
  }

  static void ClearError(ContextPrivate* record) {
    std::lock_guard<std::mutex> lock(record->errorMutex);
    record->lastFailure = 0;
  }
};

}  // namespace orvbind

extern "C" ORV_API const char* OrvInitialize(uintptr_t magic, int32_t interfaceVersion,
                                             ::OrvContext* table) {
  if (magic == 0) return "Magic is invalid.";
  if (!table) return "Null pointer for context return destination!";
  if (interfaceVersion != 1 && interfaceVersion != 2)
    return "Interface version unmatch. This library's version is '2'.";
  ContextPrivate* record = new (std::nothrow) ContextPrivate();
  if (!record) return "Out of memory.";
  record->version = interfaceVersion;
  using Functions = orvbind::TableFunctions;
  table->Init = &Functions::Init;
  table->Destroy = &Functions::Destroy;
  table->CheckError = &Functions::CheckError;
  table->CreateBuffer = &Functions::CreateBuffer;
  table->FreeBuffer = &Functions::FreeBuffer;
  table->Respatialize = &Functions::Respatialize;
  table->PlayAbsolute = &Functions::PlayAbsolute;
  table->PlayRelative = &Functions::PlayRelative;
  table->PlayLocal = &Functions::PlayLocal;
  table->Render = &Functions::Render;
  table->context = record;
  if (interfaceVersion == 2) {
    // The first eleven members are the version 1 table, filled above.
    OrvContext2* table2 = reinterpret_cast<OrvContext2*>(table);
    table2->Play = &Functions::Play;
    table2->MoveVoice = &Functions::MoveVoice;
    table2->SetVoiceVolume = &Functions::SetVoiceVolume;
    table2->SetVoiceSpeed = &Functions::SetVoiceSpeed;
    table2->StopVoice = &Functions::StopVoice;
    table2->VoiceState = &Functions::VoiceState;
    table2->ReleaseVoice = &Functions::ReleaseVoice;
    table2->FrameClock = &Functions::FrameClock;
    table2->SetListenerVelocity = &Functions::SetListenerVelocity;
    table2->LoadHrtf = &Functions::LoadHrtf;
    table2->SetOption = &Functions::SetOption;
    table2->ClearError = &Functions::ClearError;
  }
  return nullptr;
}
