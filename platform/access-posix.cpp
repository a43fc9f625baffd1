#include <sys/stat.h>

#include "platform/access.h"

bool file_private(const char* path, bool* open_to_others) {
  struct stat st;
  if (stat(path, &st) != 0) return false;
  *open_to_others = (st.st_mode & (S_IRWXG | S_IRWXO)) != 0;
  return true;
}
