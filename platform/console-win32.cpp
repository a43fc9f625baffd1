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

// The console's mode from before echo was turned off, put back when echo is
// turned on again, also when Ctrl-C, Ctrl-Break or closing the console ends
// the program at the hidden prompt. Set before the handler is added.
HANDLE volatile saved_handle = INVALID_HANDLE_VALUE;
DWORD volatile saved_mode = 0;

// Runs on a thread of its own. FALSE: the next handler, by default the one
// that ends the program, still runs; an event the program ignores never
// comes here.
BOOL WINAPI restore_on_break(DWORD) {
  if (saved_handle != INVALID_HANDLE_VALUE) SetConsoleMode(saved_handle, saved_mode);
  return FALSE;
}
const char* volatile stopped_text = nullptr;

// FALSE: the handler that ends the program runs next, as without this one.
BOOL WINAPI say_on_break(DWORD) {
  if (const char* text = stopped_text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(lstrlenA(text)), &written,
              nullptr);
  }
  return FALSE;
}
}  // namespace

void say_when_stopped(const char* text) {
  stopped_text = text;
  SetConsoleCtrlHandler(say_on_break, TRUE);
}

bool console_is_terminal(std::FILE* in) { return console_input(in) != INVALID_HANDLE_VALUE; }

bool console_set_echo(std::FILE* in, bool on) {
  HANDLE handle = console_input(in);
  DWORD mode = 0;
  if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) return false;
  if (on && saved_handle != INVALID_HANDLE_VALUE) {
    // The mode from before, as it was: a console that had echo off keeps it.
    const bool done = SetConsoleMode(saved_handle, saved_mode) != 0;
    SetConsoleCtrlHandler(restore_on_break, FALSE);
    saved_handle = INVALID_HANDLE_VALUE;
    return done;
  }
  if (on) return SetConsoleMode(handle, mode | ENABLE_ECHO_INPUT) != 0;
  if (saved_handle == INVALID_HANDLE_VALUE) {
    saved_mode = mode;
    saved_handle = handle;
    SetConsoleCtrlHandler(restore_on_break, TRUE);
  }
  return SetConsoleMode(handle, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) != 0;
}
