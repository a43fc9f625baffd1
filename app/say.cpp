#include "app/say.h"

#include <cstdarg>

#include "report/sink.h"

void say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  standard_sink().vsay(format, args);
  va_end(args);
}
