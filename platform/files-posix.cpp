#include <unistd.h>

#include <cstdio>

#include "platform/files.h"

bool file_replace(const char* from, const char* to) { return std::rename(from, to) == 0; }

unsigned long process_id() { return static_cast<unsigned long>(getpid()); }
