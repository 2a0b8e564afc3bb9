// A scene's events as voices of the library's version 2 table, for a host
// loop (orv-render's block loop, orv-play's clock): every play starts on its
// exact frame (startFrame), and the plays that move, change, loop or stop are
// held and driven from the loop.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "AirAbsorption.h"
#include "OrvHost.h"
#include "Scene.h"

namespace orvrender {

// The library's settings for a scene rendered at rate: its threads and
// polyphony, air absorption through air (which must outlive the context),
// and the log callback given.
InitParam SceneInitParam(const Scene& scene, double rate, AirAbsorption& air,
                         OrvLogCallback logCallback, void* logUserData);

class ScenePlays {
 public:
  // Expands the events' repeats up to totalFrames (duration seconds); throws
  // UserError for a scene with too many plays.
  ScenePlays(const Scene& scene, std::int64_t totalFrames, double duration);

  // Applies to the held voices what is due at `frame`: the stops at or
  // before frame + stopLead (a loop stepping by blocks passes half a block,
  // to stop on the nearest block boundary), the end of the voices that
  // ended, then their keyframes at `frame`.
  void Update(OrvHost& host, std::int64_t frame, std::int64_t stopLead);
  // Plays, on its own frame, every play whose frame lies before `until`.
  void Start(OrvHost& host, const std::vector<Buffer*>& buffers, std::int64_t until);

  std::int64_t LocalVoices() const { return localVoices; }
  std::int64_t RelativeVoices() const { return relativeVoices; }
  std::int64_t WorldVoices() const { return worldVoices; }
  std::int64_t PlaysAfterEnd() const { return playsAfterEnd; }

 private:
  // One play of an event: the event itself or one of its repeats.
  struct Play {
    std::int64_t frame;  // where its time falls in the output
    std::size_t event;
    std::int64_t index;  // 0: the event itself; n: its n-th repeat
  };
  // A play whose handle is kept.
  struct HeldVoice {
    OrvVoice* voice;
    const EventDefinition* event;
    Vec3 offset;  // its repeat's step
    std::int64_t startFrame;
    std::int64_t stopFrame;      // -1: none
    Vector3 position, velocity;  // as last sent
    float volume, speed;
    std::string where;
  };

  void UpdateVoice(OrvHost& host, HeldVoice& h, double age);

  const Scene& scene;
  std::vector<Play> plays;
  std::size_t nextPlay = 0;
  std::vector<HeldVoice> held;
  std::int64_t localVoices = 0;
  std::int64_t relativeVoices = 0;
  std::int64_t worldVoices = 0;
  std::int64_t playsAfterEnd = 0;
};

}  // namespace orvrender
