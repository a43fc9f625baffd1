#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/access.h"

int read_private(const char* path, size_t most, std::string* text, bool* open_to_others) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat st;
  int err = fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
  if (err == 0) *open_to_others = (st.st_mode & (S_IRWXG | S_IRWXO)) != 0;
  text->clear();
  char buf[4096];
  while (err == 0) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) err = errno;
    if (n <= 0) break;
    text->append(buf, static_cast<size_t>(n));
    if (text->size() > most) err = EFBIG;
  }
  close(fd);
  return err;
}
