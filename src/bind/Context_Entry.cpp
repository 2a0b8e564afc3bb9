// The host boundary: the exported entry point and the ten table functions.
// Every failure inside becomes the text that CheckError returns; nothing
// leaves as an exception.
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "bind/Context.h"
#include "bind/Context_Buffer.h"
#include "common/OrvException.h"
#include "orv/orv.h"

struct ContextPrivate {
  std::shared_ptr<orvbind::Context> contextOwner;
  InitParam initParam{};
  // Guarded so that two host threads failing at once cannot corrupt it. The
  // pointer CheckError hands out stays valid until the next error.
  std::mutex errorMutex;
  std::string lastError;
};

namespace orvbind {
namespace {

Buffer* FromHandle(::Buffer* handle) { return reinterpret_cast<Buffer*>(handle); }
::Buffer* ToHandle(Buffer* buffer) { return reinterpret_cast<::Buffer*>(buffer); }

void StoreError(ContextPrivate* record, const char* text) {
  std::lock_guard<std::mutex> lock(record->errorMutex);
  record->lastError = text;
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
  return *record->contextOwner;
}

template <typename T>
const T& Required(const T* pointer, const char* message) {
  if (!pointer) throw orv::Exception("%s", message);
  return *pointer;
}

}  // namespace

// The table functions.
struct OrvContext {
  static void Init(ContextPrivate* record, const InitParam* param) {
    Guard(record, [&] {
      const InitParam& p = Required(param, "Parameter is null.");
      record->initParam = p;
      // Replace, never merge: the old context stays if building fails.
      std::shared_ptr<Context> context = Context::Create(p);
      record->contextOwner.swap(context);
    });
  }

  static void Destroy(ContextPrivate* record) {
    if (!record) return;
    delete record;
  }

  static const char* CheckError(ContextPrivate* record) {
    std::lock_guard<std::mutex> lock(record->errorMutex);
    return record->lastError.empty() ? nullptr : record->lastError.c_str();
  }

  static ::Buffer* CreateBuffer(ContextPrivate* record, const BufferParam* param) {
    ::Buffer* result = nullptr;
    Guard(record, [&] {
      Initialized(record);
      const BufferParam& p = Required(param, "Parameter is null.");
      result = ToHandle(new Buffer(p));
    });
    return result;
  }

  static void FreeBuffer(ContextPrivate* record, ::Buffer* buffer) {
    Guard(record, [&] {
      Initialized(record);
      Required(buffer, "Parameter is null.");
      delete FromHandle(buffer);
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

  static void PlayAbsolute(ContextPrivate* record, ::Buffer* buffer, const Vector3* origin,
                           const PlayParam* params) {
    Guard(record, [&] {
      Context& context = Initialized(record);
      Required(buffer, "Parameter buffer is null.");
      const Vector3& o = Required(origin, "Parameter origin is null.");
      const PlayParam& p = Required(params, "Parameter params is null.");
      context.PlayAbsolute(FromHandle(buffer), o, p);
    });
  }

  static void PlayRelative(ContextPrivate* record, ::Buffer* buffer, const Vector3* origin,
                           const PlayParam* params) {
    Guard(record, [&] {
      Context& context = Initialized(record);
      Required(buffer, "Parameter buffer is null.");
      const Vector3& o = Required(origin, "Parameter origin is null.");
      const PlayParam& p = Required(params, "Parameter params is null.");
      context.PlayRelative(FromHandle(buffer), o, p);
    });
  }

  static void PlayLocal(ContextPrivate* record, ::Buffer* buffer, const PlayParam* params) {
    Guard(record, [&] {
      Context& context = Initialized(record);
      Required(buffer, "Parameter buffer is null.");
      const PlayParam& p = Required(params, "Parameter params is null.");
      context.PlayLocal(FromHandle(buffer), p);
    });
  }

  static void Render(ContextPrivate* record, float* stream, int numFrames) {
    Guard(record, [&] {
      Context& context = Initialized(record);
      Required(stream, "Parameter stream is null.");
      context.Render(stream, numFrames);
    });
  }
};

}  // namespace orvbind

extern "C" ORV_API const char* OrvInitialize(uintptr_t magic, int32_t interfaceVersion,
                                             ::OrvContext* table) {
  if (magic == 0) return "Magic is invalid.";
  if (!table) return "Null pointer for context return destination!";
  if (interfaceVersion != ORV_INTERFACE_VERSION)
    return "Interface version unmatch. This library's version is '1'.";
  ContextPrivate* record = new (std::nothrow) ContextPrivate();
  if (!record) return "Out of memory.";
  using Functions = orvbind::OrvContext;
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
  return nullptr;
}
