// Replacing one file by another in a single step, and what undoing a
// failed write needs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Puts `from` in the place of `to`, replacing it: readers see the old file or
// the new one, never a mixture. False when it could not be done.
bool file_replace(const char* from, const char* to);

// This process's number, to keep the temporary files of two runs apart.
unsigned long process_id();

// The length in bytes of what `path` names, links followed; -1 when nothing
// is there.
long long file_size(const char* path);

// Whether `path` itself is an ordinary file: not a link, a device, a pipe or
// a folder. Only such a file may be replaced by another one.
bool file_is_plain(const char* path);

// file_size, telling in *plain whether `path` is itself an ordinary file
// (file_is_plain): on POSIX one look at it for an ordinary file, not two.
long long file_size_plain(const char* path, bool* plain);

// Cuts the file at `path` to its first `size` bytes. False, with errno set,
// when it could not be done.
bool file_truncate(const char* path, long long size);

// Hands what was written to `f` (already flushed) to the disk itself, so a
// power cut cannot leave a renamed file empty. False with errno set.
bool file_sync(std::FILE* f);
// After a rename in `folder` ("" for the current one): the folder's entry
// to the disk too, where the system keeps folders apart (POSIX).
void folder_sync(const char* folder);

// Hands what was written to each of `files` in `folder` to the disk before
// a record that claims them is written, each file flushed in turn. With
// `whole_file_system`, on Linux one syncfs of the folder's file system
// instead: for a run of many boxes, whose files are most of what is not yet
// written there; it would also wait for other programs' writes. False with
// errno set.
bool files_to_disk(const std::string& folder, const std::vector<std::string>& files,
                   bool whole_file_system);

// A test's way to stop the program dead in the middle of its writes: with
// LOGFETCH_KILL_AT=N in the environment, the Nth call ends the process at
// once, as SIGKILL or a power cut would (nothing flushed, nothing said).
// Every step that changes a file calls it first.
void file_step();

// The running program's own file, absolute, in UTF-8; "" when the system
// cannot tell.
std::string program_path();

// `path` (as the command line gives it: on Windows in the ANSI code page)
// made absolute against the current folder, in UTF-8; "" when it cannot be.
std::string absolute_path(const std::string& path);

// An exclusive hold on the file at `path` (made when missing, left in place),
// kept until the object goes or the process ends: two runs keeping one
// record at once would each rewrite it over the other.
class file_hold {
 public:
  file_hold() = default;
  ~file_hold();
  file_hold(const file_hold&) = delete;
  file_hold& operator=(const file_hold&) = delete;
  // 1: held now; 0: another process holds it; -1: it could not be made or
  // locked, errno set.
  int take(const char* path);

 private:
  intptr_t handle_ = -1;
};
