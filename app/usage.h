// What -? and -v print, and the line that refuses a command line.
#pragma once

#include "app/options.h"

// Returns 0, the exit status of -?.
int print_usage();
void print_version();
// The word of a refused command line, or the option that lacks its argument.
void print_refusal(const options& refused);
