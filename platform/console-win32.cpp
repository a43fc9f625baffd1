#include <io.h>
#include <windows.h>

#include "platform/console.h"

namespace {
// The console handle behind `in`, or INVALID_HANDLE_VALUE when it has none.
HANDLE console_input(std::FILE* in) {
  if (in == nullptr) return INVALID_HANDLE_VALUE;
  const int fd = _fileno(in);
  if (fd < 0) return INVALID_HANDLE_VALUE;
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  DWORD mode = 0;
  if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) return INVALID_HANDLE_VALUE;
  return handle;
}
}  // namespace

bool console_is_terminal(std::FILE* in) { return console_input(in) != INVALID_HANDLE_VALUE; }

bool console_set_echo(std::FILE* in, bool on) {
  HANDLE handle = console_input(in);
  DWORD mode = 0;
  if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) return false;
  mode = on ? (mode | ENABLE_ECHO_INPUT) : (mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  return SetConsoleMode(handle, mode) != 0;
}
