// The run: options, prompts, and the walk over the box's ports and slots.
#pragma once

#include <cstdio>

class datafile;
class getdata;

extern const char* const kProductName;

int print_usage();

// The whole program after the global objects exist. Reads prompted answers
// from `in`; returns the exit status.
int logfetch_main(int argc, char** argv, getdata& conn, datafile& writer, std::FILE* in);
