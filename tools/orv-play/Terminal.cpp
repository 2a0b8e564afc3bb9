#include "Terminal.h"

#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>

namespace orvplay {

namespace {

std::atomic<int> caughtSignal{0};
// Written before the handlers can run with a raw terminal; read by them.
struct termios savedSettings;
std::atomic<bool> isTerminalRaw{false};

void RestoreTerminal() {
  // tcsetattr is async-signal-safe.
  if (isTerminalRaw.exchange(false)) tcsetattr(STDIN_FILENO, TCSANOW, &savedSettings);
}

void OnSignal(int signal) {
  RestoreTerminal();
  caughtSignal.store(signal);
}

}  // namespace

void CatchSignals() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  action.sa_flags = SA_RESETHAND;  // a second signal is not caught: a stuck play still ends
  sigemptyset(&action.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &action, nullptr);
}

int CaughtSignal() { return caughtSignal.load(); }

Terminal::Terminal() {
  if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &savedSettings) != 0) return;
  struct termios raw = savedSettings;
  // Keys one at a time, unechoed; ISIG stays on so that Ctrl-C is a signal.
  raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  isTerminalRaw.store(true);
  if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) {
    isTerminalRaw.store(false);
    return;
  }
  isRaw = true;
}

Terminal::~Terminal() {
  if (isRaw) RestoreTerminal();
}

int Terminal::ReadKey() {
  if (!isRaw || !isTerminalRaw.load()) return -1;
  struct pollfd input {
    STDIN_FILENO, POLLIN, 0
  };
  if (poll(&input, 1, 0) <= 0) return -1;
  unsigned char key;
  return read(STDIN_FILENO, &key, 1) == 1 ? key : -1;
}

}  // namespace orvplay
