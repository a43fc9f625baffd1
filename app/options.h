// The option scanner: one word per call, "-x" or "/x", with arguments either
// attached or in the next word.
#pragma once

constexpr const char* kOptionString = "i:I:p:P:hoOtTnNcCwWx:X:m:M:f:F:vV?";

// Index of the next word to look at; starts at 1 so the program name is skipped.
extern int option_index;

// 0 when the words are used up; 1 for a word that is not an option; -1 for an
// unrecognised option (*arg is the word); else the option character, with
// *arg its argument or null.
int scan_option(int argc, char* const* argv, const char* optstring, const char** arg);
