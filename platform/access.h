// Files that hold secrets: read only when their owner alone may read them.
#pragma once

#include <cstddef>
#include <string>

// Reads the whole file at `path` (at most `most` bytes) through one open
// descriptor, and tells from that same descriptor who else may read it, so
// that no other file can take its place between the look and the read.
// Returns 0, or the errno of the failure (EFBIG when it is larger).
int read_private(const char* path, size_t most, std::string* text, bool* open_to_others);
