// Console messages of the run: printed on standard output and flushed at once,
// so that each keeps its place among the prompts and the connection's own
// messages when standard output is a pipe.
#pragma once

void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
