// The questions the program asks when the command line leaves out the
// box's address or password.
#pragma once

#include <cstdio>
#include <string>

// Reads one word from `in` into `buffer`: leading white space is skipped and
// the word ends at white space or end of input. At most size - 1 characters
// are kept; the rest of a longer word is read and dropped. End of input gives
// the empty text. Returns the number of characters kept.
int read_word(std::FILE* in, char* buffer, int size);

// Each says its prompt and reads the answer, one word of at most 99
// characters.
std::string ask_address(std::FILE* in);
// Typed at a terminal the answer is not echoed; piped input is read as it
// comes.
std::string ask_password(std::FILE* in);
