#include "OrvHost.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

#include "UserError.h"

namespace orvrender {

namespace {

// Any non-zero value opens the table; this one spells "ORV".
constexpr std::uintptr_t kMagic = 0x4f5256u;

bool IsFile(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::string ExecutableFolder() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "";
  const std::string exe(path, static_cast<std::size_t>(n));
  return exe.substr(0, exe.rfind('/'));
}

}  // namespace

std::string DefaultLibraryPath() {
  const std::string folder = ExecutableFolder();
  if (!folder.empty()) {
    const std::string installed = folder + "/" + ORV_RENDER_INSTALLED_LIBRARY;
    if (IsFile(installed)) return installed;
  }
  if (IsFile(ORV_RENDER_BUILD_LIBRARY)) return ORV_RENDER_BUILD_LIBRARY;
  const std::string name = ORV_RENDER_INSTALLED_LIBRARY;
  return name.substr(name.rfind('/') + 1);
}

// --- OrvLibrary --------------------------------------------------------------

OrvLibrary::OrvLibrary(const std::string& path) : path(path) {
  handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) throw UserError("cannot load the Orv library '" + path + "': " + dlerror());
  initialize = reinterpret_cast<OrvInitializeFunction>(dlsym(handle, "OrvInitialize"));
  if (!initialize) {
    dlclose(handle);
    throw UserError("'" + path + "' is not an Orv library: it does not export OrvInitialize");
  }
}

OrvLibrary::~OrvLibrary() { dlclose(handle); }

// --- LogCollector ------------------------------------------------------------

void LogCollector::Callback(const char* message, void* userData) {
  auto* self = static_cast<LogCollector*>(userData);
  const std::lock_guard<std::mutex> lock(self->mutex);
  self->messages.emplace_back(message ? message : "");
}

std::vector<std::string> LogCollector::Messages() const {
  const std::lock_guard<std::mutex> lock(mutex);
  return messages;
}

// --- OrvHost -----------------------------------------------------------------

OrvHost::OrvHost(const OrvLibrary& library, const InitParam& param) {
  const char* failure = library.Initialize()(kMagic, 2, reinterpret_cast<OrvContext*>(&table));
  if (failure)
    throw UserError("the Orv library '" + library.Path() + "' refused to open: " + failure);
  table1 = {table.context,      table.Init,       table.Destroy,      table.CheckError,
            table.CreateBuffer, table.FreeBuffer, table.Respatialize, table.PlayAbsolute,
            table.PlayRelative, table.PlayLocal,  table.Render};
  table.Init(table.context, &param);
  try {
    Check("Init", "starting the library");
  } catch (...) {
    table.Destroy(table.context);
    throw;
  }
}

OrvHost::~OrvHost() { table.Destroy(table.context); }

void OrvHost::Check(const char* call, const std::string& where) {
  const char* error = table.CheckError(table.context);
  if (error) throw UserError(where + ": the library refused " + call + ": " + error);
}

Buffer* OrvHost::CreateBuffer(const BufferParam& param, const std::string& where) {
  Buffer* buffer = table.CreateBuffer(table.context, &param);
  Check("CreateBuffer", where);
  if (!buffer) throw UserError(where + ": the library returned no buffer");
  return buffer;
}

void OrvHost::FreeBuffer(Buffer* buffer) { table.FreeBuffer(table.context, buffer); }

void OrvHost::Respatialize(const Vector3& eye, const Vector3& front, const Vector3& up,
                           const ReverbParam& room, const std::string& where) {
  table.Respatialize(table.context, &eye, &front, &up, &room);
  Check("Respatialize", where);
}

void OrvHost::PlayLocal(Buffer* buffer, const PlayParam& play, const std::string& where) {
  table.PlayLocal(table.context, buffer, &play);
  Check("PlayLocal", where);
}

void OrvHost::PlayRelative(Buffer* buffer, const Vector3& origin, const PlayParam& play,
                           const std::string& where) {
  table.PlayRelative(table.context, buffer, &origin, &play);
  Check("PlayRelative", where);
}

void OrvHost::PlayAbsolute(Buffer* buffer, const Vector3& origin, const PlayParam& play,
                           const std::string& where) {
  table.PlayAbsolute(table.context, buffer, &origin, &play);
  Check("PlayAbsolute", where);
}

void OrvHost::Render(float* stream, int frames) {
  table.Render(table.context, stream, frames);
  Check("Render", "rendering");
}

void OrvHost::SetOption(int option, double value, const std::string& where) {
  table.SetOption(table.context, option, value);
  Check("SetOption", where);
}

OrvVoice* OrvHost::Play(Buffer* buffer, const OrvVoiceParam& param, const std::string& where) {
  OrvVoice* voice = table.Play(table.context, buffer, &param);
  Check("Play", where);
  if (!voice) throw UserError(where + ": the library returned no voice");
  return voice;
}

void OrvHost::MoveVoice(OrvVoice* voice, const Vector3& position, const Vector3& velocity,
                        const std::string& where) {
  table.MoveVoice(table.context, voice, &position, &velocity);
  Check("MoveVoice", where);
}

void OrvHost::SetVoiceVolume(OrvVoice* voice, float volume, const std::string& where) {
  table.SetVoiceVolume(table.context, voice, volume);
  Check("SetVoiceVolume", where);
}

void OrvHost::SetVoiceSpeed(OrvVoice* voice, float speed, const std::string& where) {
  table.SetVoiceSpeed(table.context, voice, speed);
  Check("SetVoiceSpeed", where);
}

void OrvHost::StopVoice(OrvVoice* voice, const std::string& where) {
  table.StopVoice(table.context, voice);
  Check("StopVoice", where);
}

bool OrvHost::HasVoiceEnded(OrvVoice* voice, const std::string& where) {
  const std::int32_t state = table.VoiceState(table.context, voice);
  Check("VoiceState", where);
  return state == ORV_VOICE_ENDED;
}

void OrvHost::ReleaseVoice(OrvVoice* voice, const std::string& where) {
  table.ReleaseVoice(table.context, voice);
  Check("ReleaseVoice", where);
}

}  // namespace orvrender
