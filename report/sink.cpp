#include "report/sink.h"

#include <cstdio>
#include <string>

void message_sink::say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  format_to(false, format, args);
  va_end(args);
}

void message_sink::explain(const char* format, ...) {
  va_list args;
  va_start(args, format);
  format_to(true, format, args);
  va_end(args);
}

void message_sink::format_to(bool err, const char* format, va_list args) {
  char small[512];
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(small, sizeof small, format, args);
  if (n < 0) {
    va_end(again);
    return;
  }
  if (static_cast<size_t>(n) < sizeof small) {
    err ? write_err(small, static_cast<size_t>(n)) : write_out(small, static_cast<size_t>(n));
  } else {
    std::string big(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(&big[0], big.size(), format, again);
    err ? write_err(big.data(), static_cast<size_t>(n)) : write_out(big.data(), static_cast<size_t>(n));
  }
  va_end(again);
}

void stdio_sink::write_out(const char* text, size_t size) {
  if (std::fwrite(text, 1, size, stdout) != size || std::fflush(stdout) != 0) good_ = false;
}

void stdio_sink::write_err(const char* text, size_t size) {
  std::fwrite(text, 1, size, stderr);
  std::fflush(stderr);
}

message_sink& standard_sink() {
  static stdio_sink sink;
  return sink;
}
