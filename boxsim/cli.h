// The boxsim command line.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "boxsim/server.h"

struct CommandLine {
  ServerOptions server;
  std::string box_path;
  // Several boxes in one process, from --box ADDR=FILE: (address, file).
  std::vector<std::pair<std::string, std::string>> boxes;
  std::string junk_addr;  // overrides the file's junk_addr
  // Box-wide faults from flags, as (file key, value), laid over the file's.
  std::vector<std::pair<std::string, std::string>> faults;
  bool help = false;
};

extern const char* const kBoxsimUsage;

// Returns false with *error set for a bad command line.
bool parse_command_line(int argc, const char* const* argv, CommandLine* out, std::string* error);

// Loads the box file and lays the command line's faults and second address
// over it. Returns false with *error set ("FILE:LINE: message" for the file).
bool load_configured_box(const CommandLine& cl, Box* box, std::string* error);

// For --box: every box loaded and configured as load_configured_box does,
// with the server options of each (its address; its log FILE.ADDR).
bool load_configured_boxes(const CommandLine& cl, std::vector<Box>* boxes,
                           std::vector<ServerOptions>* options, std::string* error);
