#include "Progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace orvrender {

namespace {
constexpr int kBarWidth = 32;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
}  // namespace

bool Progress::IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) == 1; }

Progress::Progress(bool isEnabled, double totalSeconds)
    : isEnabled(isEnabled),
      totalSeconds(totalSeconds),
      start(std::chrono::steady_clock::now()),
      lastDraw(start - kRedrawInterval) {}

Progress::~Progress() { Clear(); }

void Progress::Update(double doneSeconds) {
  if (!isEnabled) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - lastDraw < kRedrawInterval) return;
  lastDraw = now;
  Draw(doneSeconds);
}

void Progress::Finish() {
  if (!isEnabled) return;
  Draw(totalSeconds);
  std::fputc('\n', stderr);
  isDrawn = false;
}

void Progress::Clear() {
  if (!isDrawn) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  isDrawn = false;
}

void Progress::Draw(double doneSeconds) {
  const double fraction =
      totalSeconds > 0.0 ? std::clamp(doneSeconds / totalSeconds, 0.0, 1.0) : 1.0;
  const int filled = static_cast<int>(fraction * kBarWidth + 0.5);
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double speed = wall > 0.0 ? doneSeconds / wall : 0.0;
  std::string bar(static_cast<std::size_t>(filled), '#');
  bar.resize(kBarWidth, '.');
  // Speed and time left mean something only after a moment of rendering.
  char pace[64] = "";
  if (wall >= 0.3 && speed > 0.0) {
    std::snprintf(pace, sizeof pace, "  %.1fx real time", speed);
    if (fraction < 1.0)
      std::snprintf(pace + std::strlen(pace), sizeof pace - std::strlen(pace), ", %.0f s left",
                    (totalSeconds - doneSeconds) / speed);
  }
  std::fprintf(stderr, "\r\033[K[%s] %3.0f%%  %.1f / %.1f s%s", bar.c_str(), fraction * 100.0,
               doneSeconds, totalSeconds, pace);
  std::fflush(stderr);
  isDrawn = true;
}

}  // namespace orvrender
