#include "app/progress.h"

#include <cstring>
#include <string>

void progress_line::update(int port, int slot, int done, int total) {
  if (!shown_) return;
  char text[96];
  const int n = std::snprintf(text, sizeof text, "Port %d slot %d: %d of %d samples", port, slot,
                              done, total);
  show(text, n);
}

void progress_line::waiting(int port, int slot, const char* address, int box_port, int attempt,
                            int tries) {
  if (!shown_) return;
  char text[128];
  const int n =
      std::snprintf(text, sizeof text, "Port %d slot %d: waiting for %s port %d, try %d of %d",
                    port, slot, address, box_port, attempt, tries);
  show(text, n);
}

void progress_line::show(const char* text, int n) {
  if (n <= 0) return;
  const size_t len = std::strlen(text);  // what snprintf kept
  // A shorter text than the last leaves none of the last behind.
  const std::string pad(width_ > len ? width_ - len : 0, ' ');
  std::fprintf(out_, "\r%s%s", text, pad.c_str());
  std::fflush(out_);
  width_ = len;
}

void progress_line::clear() {
  if (!shown_ || width_ == 0) return;
  std::fprintf(out_, "\r%s\r", std::string(width_, ' ').c_str());
  std::fflush(out_);
  width_ = 0;
}
