// What -n runs have saved into this folder: for each box address, port and
// slot, what identifies the datalog and the time of the newest sample saved.
// Decides how many of a sensor's newest samples are new, and records each
// report once it has been written.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <tuple>

#include "device/messages.h"
#include "device/reading.h"

constexpr const char* kCollectedFile = "logfetch.state";

class collected {
 public:
  explicit collected(std::string path = kCollectedFile);

  // Reads the state file. A missing file is an empty record; a file that
  // cannot be read, or lines that make no sense, give one line on standard
  // output and leave the sensors concerned without a record.
  void load();
  // The records of `address` are not used this run (-o: fresh files); each
  // is replaced when its sensor's new report has been saved.
  void ignore(const std::string& address) { ignored_.insert(address); }

  // How many of the newest samples of the sensor described by `st` to
  // download: -1 for all of them (no usable record; a note says why when a
  // record did not fit), 0 for none (a line says so), else the new ones.
  int plan(const std::string& address, int slot, const SensorStatus& st);
  // Records the sensor whose report has just been written and rewrites the
  // state file through a temporary file. False, with a message, when the
  // file could not be written; the old file is then left as it was.
  bool commit(const reading& r);

 private:
  struct Record {
    int type, sample_size, interval, capacity;
    int32_t newest;
  };
  using Key = std::tuple<std::string, int, int>;  // address, port 1-8, slot 1-2

  bool save() const;

  std::string path_;
  std::map<Key, Record> records_;
  std::set<std::string> ignored_;
};
