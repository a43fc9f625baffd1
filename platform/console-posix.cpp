#include <termios.h>
#include <unistd.h>

#include "platform/console.h"

bool console_is_terminal(std::FILE* in) { return in != nullptr && isatty(fileno(in)) == 1; }

bool console_set_echo(std::FILE* in, bool on) {
  if (in == nullptr) return false;
  const int fd = fileno(in);
  termios mode;
  if (fd < 0 || tcgetattr(fd, &mode) != 0) return false;
  if (on) {
    mode.c_lflag |= ECHO;
  } else {
    mode.c_lflag &= ~ECHO;
  }
  // TCSANOW: what was typed ahead stays in the input.
  return tcsetattr(fd, TCSANOW, &mode) == 0;
}
