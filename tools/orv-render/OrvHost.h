// liborv.so as a host sees it: loaded with dlopen, driven only through the
// version 2 table (OrvContext2) of orv/orv.h. Every table call is followed by CheckError;
// since the library keeps its error text until the next failure, and every
// failure ends orv-render, the first text seen is the one to report.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "orv/orv.h"

namespace orvrender {

// Where liborv.so is looked for when --library is not given: beside the
// installed tool (bin/../lib), then the build that made this tool, then the
// dynamic loader's own search path.
std::string DefaultLibraryPath();

class OrvLibrary {
 public:
  explicit OrvLibrary(const std::string& path);  // throws UserError
  ~OrvLibrary();
  OrvLibrary(const OrvLibrary&) = delete;
  OrvLibrary& operator=(const OrvLibrary&) = delete;

  const std::string& Path() const { return path; }
  OrvInitializeFunction Initialize() const { return initialize; }

 private:
  std::string path;
  void* handle = nullptr;
  OrvInitializeFunction initialize = nullptr;
};

// Collects the library's debug messages, which may arrive on its render thread.
class LogCollector {
 public:
  static void Callback(const char* message, void* userData);
  std::vector<std::string> Messages() const;

 private:
  mutable std::mutex mutex;
  std::vector<std::string> messages;
};

// One rendering context. Each method throws UserError with the library's
// text, prefixed by `where` (the JSON path or step being carried out).
class OrvHost {
 public:
  OrvHost(const OrvLibrary& library, const InitParam& param);
  ~OrvHost();
  OrvHost(const OrvHost&) = delete;
  OrvHost& operator=(const OrvHost&) = delete;

  Buffer* CreateBuffer(const BufferParam& param, const std::string& where);
  void FreeBuffer(Buffer* buffer);
  void Respatialize(const Vector3& eye, const Vector3& front, const Vector3& up,
                    const ReverbParam& room, const std::string& where);
  void PlayLocal(Buffer* buffer, const PlayParam& play, const std::string& where);
  void PlayRelative(Buffer* buffer, const Vector3& origin, const PlayParam& play,
                    const std::string& where);
  void PlayAbsolute(Buffer* buffer, const Vector3& origin, const PlayParam& play,
                    const std::string& where);
  void Render(float* stream, int frames);

  void SetOption(int option, double value, const std::string& where);
  // Never NULL: a refused play throws.
  OrvVoice* Play(Buffer* buffer, const OrvVoiceParam& param, const std::string& where);
  void MoveVoice(OrvVoice* voice, const Vector3& position, const Vector3& velocity,
                 const std::string& where);
  void SetVoiceVolume(OrvVoice* voice, float volume, const std::string& where);
  void SetVoiceSpeed(OrvVoice* voice, float speed, const std::string& where);
  void StopVoice(OrvVoice* voice, const std::string& where);
  bool HasVoiceEnded(OrvVoice* voice, const std::string& where);
  void ReleaseVoice(OrvVoice* voice, const std::string& where);

  // The bare table, for a real-time caller (an audio callback) that may
  // neither check errors nor throw. Its first members are the version 1
  // table, which Table() holds alone.
  const OrvContext2& Table2() const { return table; }
  const OrvContext& Table() const { return table1; }

 private:
  void Check(const char* call, const std::string& where);

  OrvContext2 table{};
  OrvContext table1{};
};

}  // namespace orvrender
