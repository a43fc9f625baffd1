// An output file's lines from its end towards its start, for the readers
// that find what an output wrote last: read in blocks, so a long file costs
// only the stretch read.
#pragma once

#include <cstdio>
#include <string>

class backward_lines {
 public:
  explicit backward_lines(const std::string& path);
  ~backward_lines();
  backward_lines(const backward_lines&) = delete;
  backward_lines& operator=(const backward_lines&) = delete;

  // The next line towards the start, without its '\n' (a '\r' before it is
  // kept). A last line without a '\n' is torn and passed over. False at the
  // start of the file, when it cannot be read, or past a line far longer
  // than any the outputs write.
  bool previous(std::string* line);

 private:
  bool more();

  std::FILE* f_ = nullptr;
  long start_ = 0;    // file offset of data_[0]
  std::string data_;  // not yet returned, up to the '\n' of the next line
  bool first_ = true;
  bool torn_ = false;  // the file does not end in '\n'
  bool done_ = false;
};
