// Hands one successfully read sensor from the walk to the report writer.
#pragma once

#include <set>
#include <string>

class csv_history;
class datafile;
class getdata;

class report_handoff {
 public:
  report_handoff(datafile& writer, bool overwrite) : writer_(writer), overwrite_(overwrite) {}

  // Builds the file name and writes the report; the walk goes on whatever
  // happens here.
  void save(const getdata& conn);
  // With -c: each sensor's samples also go to its CSV history.
  void keep_history(csv_history* history) { history_ = history; }

 private:
  datafile& writer_;
  bool overwrite_;
  std::set<std::string> emptied_;  // names already emptied by -o this run
  csv_history* history_ = nullptr;
};
