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
  // A request to the box at `address`, UDP port `box_port`, waits for its
  // reply: the `attempt`-th of `tries`.
  void waiting(int port, int slot, const char* address, int box_port, int attempt, int tries);
  // Blanks the line, so the next message starts on a clean one.
  void clear();

 private:
  void show(const char* text, int n);  // n: what snprintf returned

  std::FILE* out_;
  bool shown_;
  size_t width_ = 0;  // characters on the line now
};
