// libFuzzer target: orv-render's scene reader over arbitrary text. A scene
// must load or fail with UserError naming its place; nothing else may leave
// (no nlohmann exception, no crash, no undefined behaviour).
#include <cstddef>
#include <cstdint>
#include <string>

#include "Scene.h"
#include "UserError.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    const orvrender::Scene scene = orvrender::ParseScene(text, "fuzz/scene.json");
    // Every event names a sound that exists.
    for (const auto& event : scene.events)
      if (event.sound >= scene.sounds.size()) __builtin_trap();
  } catch (const orvrender::UserError&) {
  }
  return 0;
}
