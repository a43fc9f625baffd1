// Terminal echo for the password prompt.
#pragma once

#include <cstdio>

// True when `in` is an interactive terminal.
bool console_is_terminal(std::FILE* in);
// Off: turns echo of typed characters off, keeping the terminal's mode until
// echo is turned on again; a signal or console break that ends the program
// meanwhile puts that mode back first. On: puts back the kept mode exactly
// (echo stays off if it was off before), or turns echo on when none was kept.
// Returns false where it cannot.
bool console_set_echo(std::FILE* in, bool on);

// From now on Ctrl-C (and SIGTERM, SIGHUP where there are such) first puts
// `text` on standard error, then ends the program as it would have ended.
// `text` must stay valid for the rest of the run.
void say_when_stopped(const char* text);
