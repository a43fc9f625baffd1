// What -n runs have saved into this folder: for each box address, port and
// slot, what identifies the datalog and, for each output (the report, the
// CSV history, ...), the time of the newest sample that output has written.
// Decides how many of a sensor's newest samples are new, and records each
// output once it has been written.
//
// A line is "address port slot type sample_size interval capacity report"
// followed by one "name=time" word for each other output with a mark.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "device/messages.h"
#include "device/reading.h"
#include "report/sink.h"

constexpr const char* kCollectedFile = "logfetch.state";

// The names of the outputs' marks.
constexpr const char* kReportMark = "report";
constexpr const char* kHistoryMark = "history";
constexpr const char* kOpenMetricsMark = "openmetrics";
constexpr const char* kInfluxMark = "influx";

// The newest `count` samples of `r` (all of them when count < 0 or above
// r.count): the same status, fewer of the oldest samples.
reading newest_samples(const reading& r, int count);

// One sensor's line of the record, as load read it or a commit left it.
struct record_line {
  int port = 0, slot = 0;  // from 1
  int type = 0, interval = 0;
  int32_t newest = 0;  // the report's mark
};

class collected {
 public:
  explicit collected(std::string path = kCollectedFile);

  // Reads the state file. A missing file is an empty record; a file that
  // cannot be read, or lines that make no sense, give one line on standard
  // output and leave the sensors concerned without a record.
  void load(message_sink& sink = standard_sink());
  // The records of `address` are not used this run (-o: fresh files); each
  // is replaced when its sensor's new report has been saved.
  void ignore(const std::string& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    ignored_.insert(address);
  }
  // The outputs this run writes, by mark name; the report's alone unless set.
  void use(std::vector<std::string> outputs) {
    std::lock_guard<std::mutex> lock(mutex_);
    used_ = std::move(outputs);
  }
  // Whether load found the file readable (or missing): only then do the
  // marks on disk say what the files hold.
  bool readable() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return readable_;
  }

  // The lines of `address`, by port and slot.
  std::vector<record_line> lines_of(const std::string& address) const;

  // How many of the newest samples of the sensor described by `st` to
  // download, for the output furthest behind: -1 for all of them (an output
  // without a usable mark; a note says why when a record did not fit), 0 for
  // none (a line says so), else the new ones.
  // Walks of several boxes may share one record (one folder): every call
  // takes the lock, and each says its lines through its walk's sink.
  int plan(const std::string& address, int slot, const SensorStatus& st,
           message_sink& sink = standard_sink());
  // How many of the newest samples the output `mark` lacks: -1 when it has
  // no usable mark (it takes every sample), else from 0 on.
  int lacking(const std::string& address, int slot, const SensorStatus& st,
              const std::string& mark) const;
  // Moves the marks of the outputs in `written` to the newest sample of `r`
  // and rewrites the state file through a temporary file. False, with a
  // message and its reason, when the file could not be written; the old file
  // and the marks are then left as they were.
  bool commit(const reading& r, const std::vector<std::string>& written,
              message_sink& sink = standard_sink());
  // The same for the one output `mark` of several sensors at once, as an
  // export that is written whole at the end of a walk needs: one rewrite.
  bool commit_all(const std::vector<reading>& rs, const std::string& mark,
                  message_sink& sink = standard_sink());

 private:
  struct Record {
    int type, sample_size, interval, capacity;
    std::map<std::string, int32_t> marks;  // a line is kept only with a report mark
  };
  using Key = std::tuple<std::string, int, int>;  // address, port 1-8, slot 1-2

  // The new samples since `mark`, or -1 with *why set when the mark does not fit.
  static int64_t since_mark(const Record& saved, const SensorStatus& st, int32_t mark,
                            const char** why);
  bool save() const;
  // Moves the marks `written` of the sensor of `r` in records_ (not saved).
  void move_marks(const reading& r, const std::vector<std::string>& written);
  void cannot_save(message_sink& sink) const;

  std::string path_;
  std::map<Key, Record> records_;
  std::set<std::string> ignored_;
  std::vector<std::string> used_{kReportMark};
  bool readable_ = true;
  mutable int save_errno_ = 0;  // why the last save failed
  mutable std::mutex mutex_;
};
