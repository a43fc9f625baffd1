// Terminal echo for the password prompt.
#pragma once

#include <cstdio>

// True when `in` is an interactive terminal.
bool console_is_terminal(std::FILE* in);
// Turns echo of typed characters on or off; returns false where it cannot.
bool console_set_echo(std::FILE* in, bool on);
