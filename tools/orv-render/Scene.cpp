#include "Scene.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

#include "JsonReader.h"
#include "Scene_Events.h"
#include "Scene_Sounds.h"
#include "Sounds.h"
#include "UserError.h"

namespace orvrender {

namespace {

// Coordinates of positions and steps.
const Range kCoordinate = Range::Between(-kMaxCoordinate, kMaxCoordinate);

// A keyframe's time, checked against the one before; nullopt after a mistake.
std::optional<double> ReadKeyTime(const JsonObject& o, const JsonValue& item,
                                  std::optional<double> previous) {
  std::optional<double> time;
  Attempt(o.Source().problems, [&] {
    const double t = o.Get("time").Number(Range::Between(0.0, kMaxDuration));
    if (previous && t < *previous)
      item.Fail("keyframes must be in time order: " + FormatNumber(t) + " s comes after " +
                FormatNumber(*previous) + " s");
    time = t;
  });
  return time;
}

std::vector<ListenerKey> ReadListener(const JsonValue& v, Problems& problems) {
  std::vector<ListenerKey> keys;
  ListenerKey key;  // each keyframe starts from the previous one
  std::optional<double> previous;
  for (const JsonValue& item : v.Array()) {
    Attempt(problems, [&] {
      const JsonObject o = item.Object({"time", "position", "front", "up"});
      const std::optional<double> time = ReadKeyTime(o, item, previous);
      if (time) key.time = *time;
      previous = time ? time : previous;
      if (const auto p = o.Find("position"))
        Attempt(problems, [&] { key.position = p->Vector(kCoordinate); });
      bool isOriented = true;
      if (const auto f = o.Find("front")) {
        isOriented &= Attempt(problems, [&] {
          key.front = f->Vector();
          if (!(Length(key.front) > 1e-9)) f->Fail("the front vector has no length");
        });
      }
      if (const auto u = o.Find("up")) {
        isOriented &= Attempt(problems, [&] {
          key.up = u->Vector();
          if (!(Length(key.up) > 1e-9)) u->Fail("the up vector has no length");
        });
      }
      if (isOriented && !(Length(Cross(Normalized(key.front), Normalized(key.up))) > 1e-6))
        item.Fail(
            "front and up point along the same line; the listener's orientation is undefined");
      keys.push_back(key);
    });
  }
  return keys;
}

std::vector<RoomKey> ReadRoom(const JsonValue& v, Problems& problems) {
  std::vector<RoomKey> keys;
  RoomKey key;
  key.room = DefaultRoom();
  std::optional<double> previous;
  for (const JsonValue& item : v.Array()) {
    Attempt(problems, [&] {
      const JsonObject o =
          item.Object({"time", "reflectivity", "roomVolume", "roomArea", "roomSize", "enclosure"});
      const std::optional<double> time = ReadKeyTime(o, item, previous);
      if (time) key.time = *time;
      previous = time ? time : previous;
      ReverbParam& r = key.room;
      r.reflectivity =
          static_cast<float>(o.Number("reflectivity", r.reflectivity, Range::Between(0, 1)));
      r.roomVolume =
          static_cast<float>(o.Number("roomVolume", r.roomVolume, Range::Between(0, 1e9)));
      r.roomArea = static_cast<float>(o.Number("roomArea", r.roomArea, Range::Between(0, 1e9)));
      r.roomSize = static_cast<float>(o.Number("roomSize", r.roomSize, Range::Between(0, 1e6)));
      r.enclosure = static_cast<float>(o.Number("enclosure", r.enclosure, Range::Between(0, 1)));
      keys.push_back(key);
    });
  }
  return keys;
}

// Plays of an event before the end of the scene (repeats at or past it are
// skipped), as the renderer expands them.
std::int64_t PlaysBefore(const EventDefinition& e, double duration) {
  if (e.stop) duration = std::min(duration, *e.stop);  // no play starts once stopped
  if (e.time >= duration) return 0;
  if (e.interval <= 0.0) return 1;
  const double fit = std::ceil((duration - e.time) / e.interval);
  const double count = e.isUntilEnd ? fit : std::min(fit, static_cast<double>(e.count));
  return static_cast<std::int64_t>(std::min(count, 1e15));
}

// What only the whole scene shows: how many plays it makes, and whether
// stepping repeats walk out of range.
void CheckPlays(const Scene& scene, Problems& problems) {
  if (!scene.duration) return;
  std::int64_t total = 0;
  for (const EventDefinition& e : scene.events) {
    const std::int64_t plays = PlaysBefore(e, *scene.duration);
    if (plays > 1) {
      const Vec3 last = e.position + e.step * static_cast<double>(plays - 1);
      for (double c : {last.x, last.y, last.z}) {
        if (!kCoordinate.Contains(c)) {
          problems.Add(e.offset, e.path + ": play " + std::to_string(plays) +
                                     " of the repeat lies at " + FormatNumber(c) + " m, beyond " +
                                     FormatNumber(kMaxCoordinate) + " m; shorten the step");
          break;
        }
      }
    }
    if (total <= kMaxPlays && (total += plays) > kMaxPlays)
      problems.Add(e.offset, e.path + ": the scene asks for more than " +
                                 std::to_string(kMaxPlays) +
                                 " plays by here; is a repeat interval too short?");
  }
}

std::string ReadFile(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw UserError("cannot open the scene '" + file + "': " + std::strerror(errno));
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw UserError("cannot read the scene '" + file + "': " + std::strerror(errno));
  return text.str();
}

// nlohmann's parse error names a byte offset; users need line and column.
[[noreturn]] void ThrowSyntaxError(const std::string& file, const std::string& text,
                                   const Json::parse_error& e) {
  std::size_t line = 1, column = 1;
  const std::size_t end = std::min<std::size_t>(e.byte > 0 ? e.byte - 1 : 0, text.size());
  for (std::size_t i = 0; i < end; ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  std::string detail = e.what();
  // Keep only nlohmann's own explanation after its "...: " prefixes.
  const std::size_t colon = detail.rfind(": ");
  if (colon != std::string::npos) detail = detail.substr(colon + 2);
  throw UserError(file + ":" + std::to_string(line) + ":" + std::to_string(column) +
                  ": JSON syntax error at line " + std::to_string(line) + ", column " +
                  std::to_string(column) + ": " + detail);
}

Scene ReadScene(const std::string& text, const std::string& file, const SceneOverrides& overrides,
                Document& document) {
  Scene scene;
  scene.file = file;
  const std::size_t slash = file.rfind('/');
  scene.folder = slash == std::string::npos ? "." : file.substr(0, slash == 0 ? 1 : slash);

  try {
    document = ParseDocument(text);
  } catch (const Json::parse_error& e) {
    ThrowSyntaxError(file, text, e);
  } catch (const UserError& e) {
    throw UserError(file + ": " + e.what());
  }

  Problems& problems = document.problems;
  const JsonValue root(document.root, "$", document.map.RootOffset(), document);
  Attempt(problems, [&] {
    const JsonObject o =
        root.Object({"$schema", "description", "sampleRate", "duration", "blockSize", "threads",
                     "polyphony", "airAbsorption", "sounds", "listener", "room", "events"});
    if (const auto d = o.Find("description")) Attempt(problems, [&] { d->String(); });
    if (const auto s = o.Find("$schema")) Attempt(problems, [&] { s->String(); });
    scene.sampleRate = static_cast<double>(
        o.Integer("sampleRate", 48000, Range::Between(kMinSampleRate, kMaxSampleRate)));
    if (const auto d = o.Find("duration"))
      Attempt(problems, [&] { scene.duration = d->Number({0.0, kMaxDuration, true, false}); });
    else if (!overrides.duration)
      problems.Add(o.Offset(), "$.duration: missing; give the scene a duration or use --seconds");
    scene.blockSize = static_cast<int>(
        o.Integer("blockSize", scene.blockSize, Range::Between(1, ORV_MAX_RENDER_FRAMES)));
    scene.threads =
        static_cast<int>(o.Integer("threads", scene.threads, Range::Between(1, kMaxThreads)));
    scene.polyphony =
        static_cast<int>(o.Integer("polyphony", scene.polyphony, Range::Between(1, kMaxPolyphony)));
    scene.airAbsorption =
        o.Number("airAbsorption", scene.airAbsorption, Range::Between(0.0, 1000.0));

    if (const auto sounds = o.Find("sounds")) {
      Attempt(problems, [&] {
        if (!sounds->Raw().is_object()) sounds->Fail("expected an object of named sounds");
        for (const auto& member : sounds->AnyObject().Members()) {
          // Not a structured binding: the lambda below captures the value.
          const auto& value = member.second;
          SoundDefinition sound;
          sound.name = member.first;
          sound.path = value.Path();
          sound.offset = value.Offset();
          const std::size_t before = problems.Count();
          Attempt(problems, [&] { ReadSound(value, scene, sound); });
          sound.isComplete = problems.Count() == before;
          // Kept even when incomplete, so that events naming it find it.
          scene.sounds.push_back(std::move(sound));
        }
      });
    }
    if (const auto listener = o.Find("listener"))
      Attempt(problems, [&] { scene.listener = ReadListener(*listener, problems); });
    if (const auto room = o.Find("room"))
      Attempt(problems, [&] { scene.room = ReadRoom(*room, problems); });
    if (const auto events = o.Find("events")) {
      SoundIndex index;
      for (std::size_t i = 0; i < scene.sounds.size(); ++i) index.emplace(scene.sounds[i].name, i);
      Attempt(problems, [&] {
        for (const JsonValue& item : events->Array()) {
          Attempt(problems,
                  [&] { scene.events.push_back(ReadEvent(item, scene.sounds, index, problems)); });
        }
      });
    }
  });

  if (overrides.sampleRate) scene.sampleRate = *overrides.sampleRate;
  if (overrides.threads) scene.threads = *overrides.threads;
  if (overrides.blockSize) scene.blockSize = *overrides.blockSize;
  if (overrides.duration) scene.duration = overrides.duration;
  CheckPlays(scene, problems);
  return scene;
}

void ThrowIfProblems(const std::string& file, const Document& document) {
  if (!document.problems.Empty()) throw UserError(document.problems.Report(file, document.map));
}

}  // namespace

ReverbParam DefaultRoom() {
  ReverbParam room;
  room.reflectivity = 0.5f;
  room.roomVolume = 60.0f;
  room.roomArea = 100.0f;
  room.roomSize = 3.0f;
  room.enclosure = 1.0f;
  return room;
}

Scene LoadScene(const std::string& file, const SceneOverrides& overrides) {
  const std::string text = ReadFile(file);
  Document document;
  Scene scene = ReadScene(text, file, overrides, document);
  for (const SoundDefinition& sound : scene.sounds) {
    if (!sound.isComplete) continue;
    try {
      CheckSound(sound, scene.sampleRate);
    } catch (const UserError& e) {
      document.problems.Add(sound.offset, e.what());
    }
  }
  ThrowIfProblems(file, document);
  return scene;
}

Scene ParseScene(const std::string& text, const std::string& file,
                 const SceneOverrides& overrides) {
  Document document;
  Scene scene = ReadScene(text, file, overrides, document);
  ThrowIfProblems(file, document);
  return scene;
}

}  // namespace orvrender
