#include "Scene_Events.h"

#include <optional>

namespace orvrender {

namespace {

const Range kCoordinate = Range::Between(-kMaxCoordinate, kMaxCoordinate);
const Range kVolume = Range::Between(0.0, 1000.0);
// The library refuses a speed that is not positive; a thousand times faster
// plays a minute in 60 ms, and more is a slip of the keyboard.
const Range kSpeed = {0.0, 1000.0, true, false};

std::size_t FindSound(const JsonValue& v, const std::vector<SoundDefinition>& sounds,
                      const SoundIndex& index) {
  const std::string name = v.String();
  if (const auto found = index.find(name); found != index.end()) return found->second;
  std::vector<std::string_view> names;
  for (const SoundDefinition& sound : sounds) names.push_back(sound.name);
  std::string message = "no sound named " + Json(name).dump();
  const std::string closest = ClosestWord(name, names);
  if (!closest.empty()) message += "; did you mean " + Json(closest).dump() + "?";
  if (names.empty()) {
    message += " (the scene defines no sounds)";
  } else {
    message += " (sounds: ";
    for (std::size_t i = 0; i < names.size(); ++i)
      message += (i ? ", " : "") + std::string(names[i]);
    message += ")";
  }
  v.Fail(message);
}

// Keyframes [{"time": t, valueKey: ...}, ...] in time order, at least one;
// readValue reads one key's value. A key with a mistake is left out.
template <typename Key, typename ReadValue>
std::vector<Key> ReadKeys(const JsonValue& v, std::string_view valueKey, Problems& problems,
                          ReadValue&& readValue) {
  std::vector<Key> keys;
  const std::vector<JsonValue> items = v.Array();
  if (items.empty()) v.Fail("expected at least one keyframe");
  std::optional<double> previous;
  for (const JsonValue& item : items) {
    Attempt(problems, [&] {
      const JsonObject o = item.Object({"time", valueKey});
      Key key;
      const bool hasTime = Attempt(problems, [&] {
        key.time = o.Get("time").Number(Range::Between(0.0, kMaxDuration));
        if (previous && key.time < *previous)
          item.Fail("keyframes must be in time order: " + FormatNumber(key.time) +
                    " s comes after " + FormatNumber(*previous) + " s");
      });
      if (hasTime) previous = key.time;
      const bool hasValue = Attempt(problems, [&] { readValue(o.Get(valueKey), key); });
      if (hasTime && hasValue) keys.push_back(key);
    });
  }
  return keys;
}

std::vector<ValueKey> ReadValueKeys(const JsonValue& v, std::string_view valueKey, Range range,
                                    Problems& problems) {
  return ReadKeys<ValueKey>(v, valueKey, problems, [&](const JsonValue& x, ValueKey& key) {
    key.value = x.Number(range);
  });
}

// A value given either once or as keyframes, not both.
void FailIfBoth(const JsonObject& o, std::string_view once, std::string_view keyframes) {
  if (o.Has(once) && o.Has(keyframes))
    o.Find(keyframes)->Fail("give either \"" + std::string(once) + "\" or \"" +
                            std::string(keyframes) + "\", not both");
}

}  // namespace

EventDefinition ReadEvent(const JsonValue& item, const std::vector<SoundDefinition>& sounds,
                          const SoundIndex& index, Problems& problems) {
  EventDefinition e;
  e.path = item.Path();
  e.offset = item.Offset();
  const JsonObject o =
      item.Object({"time", "sound", "mode", "position", "positions", "volume", "volumes", "speed",
                   "speeds", "referenceDistance", "repeat", "loop", "stop"});
  Attempt(problems, [&] { e.time = o.Get("time").Number(Range::Between(0.0, kMaxDuration)); });
  Attempt(problems, [&] { e.sound = FindSound(o.Get("sound"), sounds, index); });
  const bool hasMode = Attempt(problems, [&] {
    const std::string mode = o.Get("mode").Choice({"local", "relative", "world"});
    e.mode = mode == "local"      ? PlayMode::Local
             : mode == "relative" ? PlayMode::Relative
                                  : PlayMode::World;
  });
  if (hasMode) {
    Attempt(problems, [&] {
      if (e.mode == PlayMode::Local) {
        for (const char* key : {"position", "positions"})
          if (const auto p = o.Find(key))
            p->Fail("a local sound has no position; use mode \"relative\" or \"world\"");
      } else if (const auto keys = o.Find("positions")) {
        FailIfBoth(o, "position", "positions");
        e.positions = ReadKeys<PositionKey>(
            *keys, "position", problems,
            [](const JsonValue& x, PositionKey& key) { key.position = x.Vector(kCoordinate); });
        if (!e.positions.empty()) e.position = e.positions.front().position;
      } else {
        e.position = o.Get("position").Vector(kCoordinate);
      }
    });
  }
  e.volume = static_cast<float>(o.Number("volume", e.volume, kVolume));
  if (const auto keys = o.Find("volumes")) {
    Attempt(problems, [&] {
      FailIfBoth(o, "volume", "volumes");
      e.volumes = ReadValueKeys(*keys, "volume", kVolume, problems);
    });
  }
  e.speed = static_cast<float>(o.Number("speed", e.speed, kSpeed));
  if (const auto keys = o.Find("speeds")) {
    Attempt(problems, [&] {
      FailIfBoth(o, "speed", "speeds");
      e.speeds = ReadValueKeys(*keys, "speed", kSpeed, problems);
    });
  }
  e.referenceDistance =
      static_cast<float>(o.Number("referenceDistance", e.referenceDistance, Range::Above(0.0)));
  if (const auto loop = o.Find("loop")) Attempt(problems, [&] { e.isLooping = loop->Boolean(); });
  if (const auto stop = o.Find("stop")) {
    Attempt(problems, [&] {
      const double t = stop->Number(Range::Between(0.0, kMaxDuration));
      if (t <= e.time)
        stop->Fail("the stop at " + FormatNumber(t) + " s comes before the sound starts at " +
                   FormatNumber(e.time) + " s");
      e.stop = t;
    });
  }

  if (const auto repeat = o.Find("repeat")) {
    Attempt(problems, [&] {
      if (e.isLooping)
        repeat->Fail("a looping sound plays until it is stopped; it cannot also repeat");
      const JsonObject r = repeat->Object({"count", "interval", "step"});
      if (const auto count = r.Find("count"))
        Attempt(problems, [&] { e.count = count->Integer(Range::Between(1, 1e7)); });
      else
        e.isUntilEnd = true;
      if (e.isUntilEnd || e.count > 1) {
        Attempt(problems, [&] {
          e.interval = r.Get("interval").Number(Range::Between(0.001, kMaxDuration));
        });
      }
      if (const auto step = r.Find("step")) {
        Attempt(problems, [&] {
          if (hasMode && e.mode == PlayMode::Local)
            step->Fail("a local sound has no position to step; use mode \"relative\" or \"world\"");
          e.step = step->Vector(kCoordinate);
        });
      }
    });
  }
  return e;
}

}  // namespace orvrender
