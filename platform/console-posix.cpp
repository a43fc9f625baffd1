#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <initializer_list>

#include "platform/console.h"

namespace {

// The terminal's mode from before echo was turned off, put back when echo is
// turned on again, also when a signal ends the program at the hidden prompt.
int saved_fd = -1;
termios saved_mode;

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr size_t kSignalCount = sizeof kEndingSignals / sizeof kEndingSignals[0];
struct sigaction previous_actions[kSignalCount];
bool guarded[kSignalCount];

extern "C" void restore_and_reraise(int sig) {
  if (saved_fd >= 0) tcsetattr(saved_fd, TCSANOW, &saved_mode);
  signal(sig, SIG_DFL);
  raise(sig);
}

void guard_signals(bool on) {
  for (size_t i = 0; i < kSignalCount; ++i) {
    if (on) {
      guarded[i] = false;
      // A signal the program was started with ignored stays ignored.
      if (sigaction(kEndingSignals[i], nullptr, &previous_actions[i]) != 0 ||
          previous_actions[i].sa_handler == SIG_IGN)
        continue;
      struct sigaction action = {};
      action.sa_handler = restore_and_reraise;
      sigemptyset(&action.sa_mask);
      guarded[i] = sigaction(kEndingSignals[i], &action, nullptr) == 0;
    } else if (guarded[i]) {
      sigaction(kEndingSignals[i], &previous_actions[i], nullptr);
      guarded[i] = false;
    }
  }
}

const char* volatile stopped_text = nullptr;

extern "C" void say_and_reraise(int sig) {
  if (const char* text = stopped_text) {
    size_t n = 0;
    while (text[n] != '\0') ++n;
    // Nothing else is safe in a handler; a short write is left as it is.
    if (write(STDERR_FILENO, text, n) < 0) {
    }
  }
  signal(sig, SIG_DFL);
  raise(sig);
}

}  // namespace

void say_when_stopped(const char* text) {
  stopped_text = text;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction before = {};
    // A signal the program was started with ignored stays ignored.
    if (sigaction(sig, nullptr, &before) != 0 || before.sa_handler == SIG_IGN) continue;
    struct sigaction action = {};
    action.sa_handler = say_and_reraise;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
  }
}

bool console_is_terminal(std::FILE* in) { return in != nullptr && isatty(fileno(in)) == 1; }

bool console_set_echo(std::FILE* in, bool on) {
  if (in == nullptr) return false;
  const int fd = fileno(in);
  termios mode;
  if (fd < 0 || tcgetattr(fd, &mode) != 0) return false;
  if (on && saved_fd >= 0) {
    // The mode from before, as it was: a terminal that had echo off keeps it.
    mode = saved_mode;
  } else if (on) {
    mode.c_lflag |= ECHO;
  } else {
    if (saved_fd < 0) {
      saved_mode = mode;
      saved_fd = fd;
      guard_signals(true);
    }
    mode.c_lflag &= ~ECHO;
  }
  // TCSANOW: what was typed ahead stays in the input.
  const bool done = tcsetattr(fd, TCSANOW, &mode) == 0;
  if (on && saved_fd >= 0) {
    guard_signals(false);
    saved_fd = -1;
  }
  return done;
}
