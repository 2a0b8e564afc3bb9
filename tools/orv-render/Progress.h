// A one-line progress bar on a terminal: how far, how fast, how long to go.
// Drawn on standard error at most ten times a second; silent when disabled.
#pragma once

#include <chrono>
#include <cstdio>

namespace orvrender {

class Progress {
 public:
  Progress(bool isEnabled, double totalSeconds);
  ~Progress();

  void Update(double doneSeconds);
  // Draws the full bar and ends its line.
  void Finish();
  // Clears the line, for an error message to take its place.
  void Clear();

  static bool IsTerminal(std::FILE* stream);

 private:
  void Draw(double doneSeconds);

  bool isEnabled;
  bool isDrawn = false;
  double totalSeconds;
  std::chrono::steady_clock::time_point start;
  std::chrono::steady_clock::time_point lastDraw;
};

}  // namespace orvrender
