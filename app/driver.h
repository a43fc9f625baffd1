// The run: options, prompts, and the walk over the box's ports and slots.
#pragma once

#include <cstdio>

class datafile;
class getdata;

int print_usage();

// Reads one word from `in` into `buffer`: leading white space is skipped and
// the word ends at white space or end of input. At most size - 1 characters
// are kept; the rest of a longer word is read and dropped. End of input gives
// the empty text. Returns the number of characters kept.
int read_word(std::FILE* in, char* buffer, int size);

// The whole program after the global objects exist. Reads prompted answers
// from `in`; returns the exit status.
int logfetch_main(int argc, char** argv, getdata& conn, datafile& writer, std::FILE* in);
