#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>

#include "platform/files.h"

bool file_replace(const char* from, const char* to) { return std::rename(from, to) == 0; }

unsigned long process_id() { return static_cast<unsigned long>(getpid()); }

long long file_size(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) return -1;
  return static_cast<long long>(st.st_size);
}

bool file_is_plain(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0 && S_ISREG(st.st_mode);
}

bool file_truncate(const char* path, long long size) {
  return truncate(path, static_cast<off_t>(size)) == 0;
}

bool file_sync(std::FILE* f) { return fsync(fileno(f)) == 0; }

void folder_sync(const char* folder) {
  const int fd = open(folder[0] != '\0' ? folder : ".", O_RDONLY | O_DIRECTORY);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}
