// Checks the console side of the hidden prompt in a real console (run it in
// one: under Wine, from a terminal). Exit status 0 when
// - turning echo on again gives back the console's own mode, also a mode
//   that had echo off before;
// - Ctrl-C at the hidden prompt has the mode put back before the next
//   handler, the one that would end the program, runs.
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <initializer_list>

#include "platform/console.h"

namespace {

HANDLE console = INVALID_HANDLE_VALUE;
HANDLE volatile handled = nullptr;  // signalled by the handler below
DWORD volatile mode_seen = 0;

// Added before the prompt's own handler, so it runs after it. TRUE: the
// event ends here, and the program lives on to report.
BOOL WINAPI next_handler(DWORD) {
  DWORD mode = 0;
  GetConsoleMode(console, &mode);
  mode_seen = mode;
  SetEvent(handled);
  return TRUE;
}

DWORD mode_now() {
  DWORD mode = 0;
  GetConsoleMode(console, &mode);
  return mode;
}

int failed(const char* what, DWORD want, DWORD got) {
  std::printf("console check FAILED: %s: mode %lx, not %lx\n", what, got, want);
  return 1;
}

}  // namespace

int main() {
  std::FILE* in = std::fopen("CONIN$", "r+");
  if (in == nullptr || !console_is_terminal(in)) {
    std::printf("console check: no console here\n");
    return 2;
  }
  console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(in)));
  const DWORD own = mode_now();

  for (const bool echo_before : {true, false}) {
    const DWORD before = echo_before ? (own | ENABLE_ECHO_INPUT | ENABLE_LINE_INPUT)
                                     : (own & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    SetConsoleMode(console, before);
    if (!console_set_echo(in, false)) return failed("echo off", before, mode_now());
    if (mode_now() & ENABLE_ECHO_INPUT) return failed("echo off", before, mode_now());
    console_set_echo(in, true);
    if (mode_now() != before) return failed("echo on again", before, mode_now());
  }

  const DWORD before = own | ENABLE_ECHO_INPUT | ENABLE_LINE_INPUT;
  SetConsoleMode(console, before);
  handled = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(next_handler, TRUE);
  console_set_echo(in, false);
  if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) return failed("no Ctrl-C", before, 0);
  if (WaitForSingleObject(handled, 10000) != WAIT_OBJECT_0)
    return failed("Ctrl-C never came", before, 0);
  if (mode_seen != before) return failed("Ctrl-C at the prompt", before, mode_seen);
  std::printf("console check passed\n");
  return 0;
}
