// The outputs of one walk, each of one shape: the report, the CSV history,
// the OpenMetrics file, the line-protocol file and each store of the site
// file (app/stores.h) each name their mark in the -n record, take the samples of a sensor
// that their mark lacks, and finish once per walk. What they append to is
// tracked by the walk's `walk_files`, the one place that puts a file back.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "device/reading.h"
#include "report/output_context.h"

class collected;
class csv_history;
class datafile;
class message_sink;
class report_handoff;
class run_exports;

// The files one walk appends to: their lengths before, to go back to, and
// after, for the commit to claim.
class walk_files {
 public:
  // `record` null: no -n record, nothing to claim or to commit first.
  walk_files(collected* record, const std::string& folder, message_sink& sink)
      : record_(record), folder_(folder), sink_(sink) {}
  // Before the first append to any of `names` (in the folder) this walk:
  // their lengths now are kept to go back to; one the record has no
  // committed length for gets one, durably, before anything is added to it.
  // False when that could not be recorded (said): nothing may be appended.
  bool before_append(const std::vector<std::string>& names);
  // After a write of `name`: its length now is what the commit claims.
  void wrote(const std::string& name);
  // A new file that only a commit puts in place: removed on a roll back.
  void held(const std::string& name) { before_[name] = -1; }
  // A file about to be replaced whole (-o): the record stops claiming it.
  bool forget(const std::string& name);
  // Every file appended to this walk back to its length before.
  void roll_back();
  const std::map<std::string, long long>& lengths() const { return after_; }

 private:
  collected* record_;
  std::string folder_;
  message_sink& sink_;
  std::map<std::string, long long> before_, after_;
};

class sensor_output {
 public:
  virtual ~sensor_output() = default;
  // Its mark's name in the record.
  virtual const char* mark() const = 0;
  // Whether it is handed a sensor that brings nothing new for it (a
  // history mends a torn last row then, and lists the sensor for the page).
  virtual bool takes_empty() const { return false; }
  // The files (in the folder) that add or finish appends to for `r`.
  virtual std::vector<std::string> files_for(const reading& r) const = 0;
  // The sensor's samples that this output lacks. False when they could not
  // be written (said, and the file left as it was).
  virtual bool add(const reading& part) = 0;
  // Writes what is kept for the end of the walk. False when it failed.
  virtual bool finish() { return true; }
  // Whether its samples reach its file only at finish().
  virtual bool at_finish() const { return false; }
  // With at_finish: whether the samples add was given of the sensor on
  // `port` and `slot` (from 0) got where they go, `finished` telling how
  // finish() ended. An output that delivers in parts (a store acknowledging
  // some requests) moves the marks of those sensors also when it failed.
  virtual bool delivered(int port, int slot, bool finished) const {
    (void)port;
    (void)slot;
    return finished;
  }
  // Files to rename into place once the commit is on disk: temporary, final.
  virtual std::vector<std::pair<std::string, std::string>> renames() const { return {}; }
};

// The outputs a run may ask for: the report, with -c the history, with -x
// each export format (`exports` holds that one format, held back with -n).
std::unique_ptr<sensor_output> report_output(report_handoff& handoff, datafile& writer,
                                             bool overwrite, walk_files& files);
std::unique_ptr<sensor_output> history_output(csv_history& history, walk_files& files);
std::unique_ptr<sensor_output> export_output(std::unique_ptr<run_exports> exports, unsigned format,
                                             const std::string& address, walk_files& files,
                                             const output_context& ctx);
