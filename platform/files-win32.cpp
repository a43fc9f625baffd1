#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>

#include "platform/files.h"

// rename() refuses to replace an existing file on Windows. errno is set as
// the C library's calls set it, for the reason shown.
bool file_replace(const char* from, const char* to) {
  if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0) return true;
  switch (GetLastError()) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      errno = EACCES;
      break;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      errno = ENOENT;
      break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      errno = ENOSPC;
      break;
    default:
      errno = EIO;
  }
  return false;
}

unsigned long process_id() { return GetCurrentProcessId(); }

long long file_size(const char* path) {
  struct _stati64 st;
  if (_stati64(path, &st) != 0) return -1;
  return static_cast<long long>(st.st_size);
}

bool file_is_plain(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if (attributes &
      (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE))
    return false;
  struct _stati64 st;
  return _stati64(path, &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFREG;
}

bool file_truncate(const char* path, long long size) {
  int fd = -1;
  if (_sopen_s(&fd, path, _O_RDWR | _O_BINARY, _SH_DENYNO, _S_IREAD | _S_IWRITE) != 0) return false;
  const errno_t failed = _chsize_s(fd, size);
  _close(fd);
  if (failed != 0) {
    errno = failed;
    return false;
  }
  return true;
}

// _commit is FlushFileBuffers on the file's handle.
bool file_sync(std::FILE* f) { return _commit(_fileno(f)) == 0; }

// A rename with MOVEFILE_REPLACE_EXISTING needs no folder flush here.
void folder_sync(const char*) {}
