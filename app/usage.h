// What -? and -v print.
#pragma once

// Returns 0, the exit status of -?.
int print_usage();
void print_version();
