// Hands one successfully read sensor from the walk to the report writer.
#pragma once

#include <set>
#include <string>

#include "device/reading.h"

class datafile;

class report_handoff {
 public:
  report_handoff(datafile& writer, bool overwrite) : writer_(writer), overwrite_(overwrite) {}

  // Builds the file name and writes the report; the walk goes on whatever
  // happens here. 0 when the report was written, -1 when it was not.
  int save(const reading& sensor);

 private:
  datafile& writer_;
  bool overwrite_;
  std::set<std::string> emptied_;  // names already emptied by -o this run
};
