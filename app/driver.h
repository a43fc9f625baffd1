// The run: what the options ask for, the prompts for what they leave out,
// then one box's walk or, with -f, a site's.
#pragma once

#include <cstdio>

class datafile;
class getdata;
struct options;

// The whole program once the command line is scanned and the global objects
// exist. Reads prompted answers from `in`; returns the exit status.
int run_logfetch(const options& run, getdata& conn, datafile& writer, std::FILE* in);

// scan_options, then run_logfetch.
int logfetch_main(int argc, char** argv, getdata& conn, datafile& writer, std::FILE* in);
