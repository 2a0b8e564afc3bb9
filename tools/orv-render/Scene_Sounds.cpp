// Reading the sounds of a scene: a file, or a generator and its shape.
#include "Scene_Sounds.h"

#include <cstdint>
#include <string>

namespace orvrender {

namespace {

// Keys every generator understands, besides its own.
#define ORV_SHAPE_KEYS                                                                         \
  "generator", "duration", "amplitude", "channels", "sampleRate", "bits", "attack", "release", \
      "decay", "lowpass", "pan", "tremoloRate", "tremoloDepth", "seed"

// A frequency a generator may ask for; the upper end leaves room for resampling.
const Range kAudioFrequency = Range::Between(1.0, 100000.0);

std::uint32_t NameSeed(const std::string& name) {
  std::uint32_t hash = 2166136261u;  // FNV-1a: stable across runs and platforms
  for (unsigned char c : name) hash = (hash ^ c) * 16777619u;
  return hash;
}

GeneratorShape ReadShape(const JsonObject& o, const std::string& name) {
  Problems& problems = o.Source().problems;
  GeneratorShape s;
  Attempt(problems,
          [&] { s.duration = o.Get("duration").Number(Range::Between(0.0, kMaxDuration)); });
  s.amplitude = o.Number("amplitude", s.amplitude, Range::Between(0.0, 1.0));
  s.channels = static_cast<int>(o.Integer("channels", s.channels, Range::Between(1, 2)));
  s.sampleRate =
      o.Number("sampleRate", s.sampleRate, Range::Between(kMinSampleRate, kMaxSampleRate));
  if (const auto bits = o.Find("bits")) {
    Attempt(problems, [&] {
      const int b = static_cast<int>(bits->Integer());
      if (b != 8 && b != 16 && b != 32)
        bits->Fail(std::to_string(b) + " is out of range: it must be 8, 16 or 32");
      s.bits = b;
    });
  }
  s.attack = o.Number("attack", s.attack, Range::AtLeast(0.0));
  s.release = o.Number("release", s.release, Range::AtLeast(0.0));
  s.decay = o.Number("decay", s.decay, Range::AtLeast(0.0));
  s.lowpass = o.Number("lowpass", s.lowpass, Range::AtLeast(0.0));
  s.pan = o.Number("pan", s.pan, Range::Between(-1.0, 1.0));
  s.tremoloRate = o.Number("tremoloRate", s.tremoloRate, Range::AtLeast(0.0));
  s.tremoloDepth = o.Number("tremoloDepth", s.tremoloDepth, Range::Between(0.0, 1.0));
  s.seed = static_cast<std::uint32_t>(
      o.Integer("seed", NameSeed(name), Range::Between(0.0, 4294967295.0)));
  return s;
}

}  // namespace

void ReadSound(const JsonValue& v, const Scene& scene, SoundDefinition& sound) {
  if (!v.Raw().is_object()) v.Fail("expected an object with \"file\" or \"generator\"");
  const bool hasFile = v.Raw().contains("file");
  const bool hasGenerator = v.Raw().contains("generator");
  if (hasFile == hasGenerator) v.Fail("a sound needs exactly one of \"file\" and \"generator\"");

  if (hasFile) {
    const JsonObject o = v.Object({"file"});
    sound.kind = SoundKind::File;
    sound.file = o.Get("file").String();
    if (sound.file.empty()) o.Get("file").Fail("the file name is empty");
    if (sound.file[0] != '/' && !scene.folder.empty()) sound.file = scene.folder + "/" + sound.file;
    return;
  }

  Problems& problems = v.AnyObject().Source().problems;
  const std::string& name = sound.name;
  const std::string kind =
      v.AnyObject().Get("generator").Choice({"sine", "noise", "chirp", "clicks", "voice"});
  if (kind == "sine") {
    const JsonObject o = v.Object({ORV_SHAPE_KEYS, "frequency"});
    sound.kind = SoundKind::Sine;
    sound.shape = ReadShape(o, name);
    sound.frequency = o.Number("frequency", sound.frequency, kAudioFrequency);
  } else if (kind == "noise") {
    const JsonObject o = v.Object({ORV_SHAPE_KEYS, "color"});
    sound.kind = SoundKind::Noise;
    sound.shape = ReadShape(o, name);
    if (const auto color = o.Find("color")) {
      Attempt(problems, [&] {
        const std::string c = color->Choice({"white", "pink", "brown"});
        sound.color = c == "white"  ? NoiseColor::White
                      : c == "pink" ? NoiseColor::Pink
                                    : NoiseColor::Brown;
      });
    }
  } else if (kind == "chirp") {
    const JsonObject o = v.Object({ORV_SHAPE_KEYS, "startFrequency", "endFrequency", "sweep"});
    sound.kind = SoundKind::Chirp;
    sound.shape = ReadShape(o, name);
    sound.startFrequency = o.Number("startFrequency", sound.startFrequency, kAudioFrequency);
    sound.endFrequency = o.Number("endFrequency", sound.endFrequency, kAudioFrequency);
    if (const auto sweep = o.Find("sweep")) {
      Attempt(problems, [&] {
        sound.isExponential = sweep->Choice({"exponential", "linear"}) == "exponential";
      });
    }
  } else if (kind == "clicks") {
    const JsonObject o =
        v.Object({ORV_SHAPE_KEYS, "interval", "tone", "alternateTone", "clickDecay"});
    sound.kind = SoundKind::Clicks;
    sound.shape = ReadShape(o, name);
    sound.interval = o.Number("interval", sound.interval, Range::Between(0.001, kMaxDuration));
    sound.tone = o.Number("tone", sound.tone, Range::Between(0.0, 100000.0));
    sound.alternateTone =
        o.Number("alternateTone", sound.alternateTone, Range::Between(0.0, 100000.0));
    sound.clickDecay = o.Number("clickDecay", sound.clickDecay, Range::Between(0.0001, 1.0));
  } else {
    const JsonObject o = v.Object({ORV_SHAPE_KEYS, "pitch", "syllableRate", "vowels"});
    sound.kind = SoundKind::Voice;
    sound.shape = ReadShape(o, name);
    sound.pitch = o.Number("pitch", sound.pitch, Range::Between(40.0, 1000.0));
    sound.syllableRate = o.Number("syllableRate", sound.syllableRate, Range::Between(0.1, 20.0));
    if (const auto vowels = o.Find("vowels")) {
      Attempt(problems, [&] {
        sound.vowels = vowels->String();
        if (sound.vowels.empty() || sound.vowels.find_first_not_of("aeiou") != std::string::npos)
          vowels->Fail("expected vowels from \"aeiou\", found " + Json(sound.vowels).dump());
      });
    }
  }
}

}  // namespace orvrender
