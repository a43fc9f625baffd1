#include <windows.h>

#include "platform/files.h"

// rename() refuses to replace an existing file on Windows.
bool file_replace(const char* from, const char* to) {
  return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}

unsigned long process_id() { return GetCurrentProcessId(); }
