#include <windows.h>

#include <cerrno>
#include <cstdio>

#include "platform/access.h"

int read_private(const char* path, size_t most, std::string* text, bool* open_to_others) {
  *open_to_others = false;
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return errno != 0 ? errno : ENOENT;
  text->clear();
  char buf[4096];
  size_t n;
  int err = 0;
  while (err == 0 && (n = std::fread(buf, 1, sizeof buf, f)) > 0) {
    text->append(buf, n);
    if (text->size() > most) err = EFBIG;
  }
  if (err == 0 && std::ferror(f)) err = EIO;
  std::fclose(f);
  return err;
}
