// The progress of a download on one console line, rewritten in place.
#pragma once

#include <cstddef>
#include <cstdio>

class progress_line {
 public:
  // Writes nothing at all unless `shown`: piped and logged output stays clean.
  progress_line(std::FILE* out, bool shown) : out_(out), shown_(shown) {}

  // Port and slot as shown to the user (from 1).
  void update(int port, int slot, int done, int total);
  // Blanks the line, so the next message starts on a clean one.
  void clear();

 private:
  std::FILE* out_;
  bool shown_;
  size_t width_ = 0;  // characters on the line now
};
