#include <windows.h>

#include "platform/access.h"

bool file_private(const char* path, bool* open_to_others) {
  *open_to_others = false;
  return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}
