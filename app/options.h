// The command line, scanned once into a plain value: options are "-x" or
// "/x", in either letter case, with arguments attached or in the next word.
#pragma once

#include <string>

// What the command line asks for. Scanning stops at the first word that asks
// for the usage or the version, or is refused.
enum class command {
  walk,     // download (one box, or with -f a site)
  usage,    // -h, -?, --help
  version,  // -v, --version
  refused,  // a word that is no option, an unknown option or a bad argument
  // --task-xml: the scheduled task of the -f site, printed
  task_xml,
};

// What an option refused for want of its argument lacks.
enum class lacking { nothing, file_name, format, seconds };

struct options {
  command what = command::walk;
  std::string refused;  // with command::refused: the word to name
  // With command::refused: what the option named there lacks, if anything.
  lacking missing = lacking::nothing;
  // Present only when given with its text; otherwise the prompt asks.
  std::string address, password;
  bool address_present = false;
  bool password_present = false;
  bool overwrite = false;    // -o
  bool local_time = false;   // -t
  bool incremental = false;  // -n
  bool history = false;      // -c, and -w
  bool page = false;         // -w
  unsigned exports = 0;      // -x: export_format bits
  std::string textfile;      // -m
  std::string site_file;     // -f
  bool check = false;        // --check: one status line for a monitoring system
  int timeout_seconds = 50;  // --timeout: the check's own limit
};

// argv[0] is the program name and is skipped.
options scan_options(int argc, char* const* argv);
