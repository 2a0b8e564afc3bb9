// Keys from the terminal while playing, and the signals that end a play.
// With standard input a terminal, Terminal turns off line buffering and echo
// so that one key acts at once; the settings come back when it goes, and
// also straight from the signal handler, so that an interrupted orv-play
// never leaves the shell without echo.
#pragma once

namespace orvplay {

// SIGINT, SIGTERM and SIGHUP are recorded rather than ending the program; a
// second one ends it as usual.
void CatchSignals();
int CaughtSignal();  // 0 when none

class Terminal {
 public:
  Terminal();  // raw keys when standard input is a terminal
  ~Terminal();
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  bool IsInteractive() const { return isRaw; }
  // The next key pressed, or -1 when none is waiting. Never blocks.
  int ReadKey();

 private:
  bool isRaw = false;
};

}  // namespace orvplay
