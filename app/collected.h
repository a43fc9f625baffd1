// What -n runs have saved into this folder, and what it means: for each box
// address, port and slot, what identifies the datalog and, for each output
// (the report, the CSV history, ...), the time of the newest sample that
// output has committed; for each output file the length that commit found
// it at. Decides how many of a sensor's newest samples are new, and commits
// a box's outputs once, after the data they name is on the disk.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "app/record_format.h"
#include "device/messages.h"
#include "device/reading.h"
#include "platform/files.h"
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

// What one box's walk asks the record to say once its outputs are written.
struct box_commit {
  struct move {
    std::string address;
    int slot = 0;
    SensorStatus status{};
    std::vector<std::string> marks;  // moved to status.lastLogTime
  };
  std::vector<move> moves;
  std::map<std::string, long long> files;  // in the folder: length now
  std::vector<std::pair<std::string, std::string>> renames;  // temporary, final; after
  std::vector<record_key> forget;          // sensors whose files start afresh (-o)
  std::vector<std::string> forget_files;   // files about to be replaced whole (-o)
  bool empty() const {
    return moves.empty() && files.empty() && renames.empty() && forget.empty() &&
           forget_files.empty();
  }
};

class collected {
 public:
  explicit collected(std::string path = kCollectedFile);

  // Before load: holds the record for this run alone (a lock file beside
  // it, kept in place), so that no other run rewrites it meanwhile. False,
  // said, when another run holds it: nothing may be saved in the folder then.
  // Where no lock file can be made, the run goes on as before without one.
  bool hold(message_sink& sink = standard_sink());
  // Reads the state file. A missing file is an empty record; a file that
  // cannot be read, or lines that make no sense, give one line and leave
  // the sensors concerned without a record.
  void load(message_sink& sink = standard_sink());
  // Before anything is written: every output file longer than its
  // committed length is cut back to it (a run that never committed wrote
  // the rest), each said; one shorter than it lost its tail to the file
  // system: its torn last line is cut off and each output writing there
  // catches up from the newest whole sample of its sensor the file still
  // holds; files a commit named but did not yet rename are renamed. Held,
  // the temporary records that killed runs left are removed too.
  void repair(message_sink& sink = standard_sink());
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
  // Commits sync the whole file system the folder is on (Linux) rather
  // than each file: for a run of many boxes, whose files are most of what is
  // not yet written; a lone box's commit syncs its own files alone.
  void sync_whole_file_system(bool whole) {
    std::lock_guard<std::mutex> lock(mutex_);
    sync_whole_ = whole;
  }
  // Whether load found the file readable (or missing): only then do the
  // marks on disk say what the files hold.
  bool readable() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return readable_;
  }
  // The folder the record and the files it names are in: "" or ending in '/'.
  const std::string& folder() const { return folder_; }

  // The lines of `address`, by port and slot.
  std::vector<record_line> lines_of(const std::string& address) const;
  // The committed length of `name` in the folder; -1 when none is known.
  long long committed_length(const std::string& name) const;

  // How many of the newest samples of the sensor described by `st` to
  // download, for the output furthest behind: -1 for all of them (an output
  // without a usable mark; a note says why when a record did not fit), 0 for
  // none (a line says so), else the new ones.
  // Walks of several boxes may share one record (one folder): every call
  // takes the lock, and each says its lines through its walk's sink.
  // `also`: the marks of outputs of this box alone (its stores), beside
  // the ones every box of the record uses.
  int plan(const std::string& address, int slot, const SensorStatus& st,
           message_sink& sink = standard_sink(), const std::vector<std::string>& also = {});
  // How many of the newest samples the output `mark` lacks: -1 when it has
  // no usable mark (it takes every sample), else from 0 on.
  int lacking(const std::string& address, int slot, const SensorStatus& st,
              const std::string& mark) const;
  // The same once this run's commits are made, whatever -o said.
  int lacking_now(const std::string& address, int slot, const SensorStatus& st,
                  const std::string& mark) const;

  // Hands the data of every file `c` names to the disk, then rewrites the
  // record durably with `c` applied, then renames what it asks to. Boxes
  // that finish while another box's commit is under way are committed
  // together in the next one. False, said with its reason, when the record
  // could not be written; the record is then as it was.
  bool commit(const box_commit& c, message_sink& sink = standard_sink());

 private:
  struct waiter {
    const box_commit* c;
    bool done = false, ok = false;
    int err = 0;
  };

  // The new samples since `mark`, or -1 with *why set when the mark does not fit.
  static int64_t since_mark(const record_sensor& saved, const SensorStatus& st, int32_t mark,
                            const char** why);
  // For the file `name`, found `size` bytes long (-1: missing) where `length`
  // were committed: its torn last line cut off, each output writing there
  // sent back to the newest whole sample it still holds, said in one line.
  // Returns the length to commit: the file's now, or `length` while an
  // output writing there takes the whole datalog.
  long long catch_up(const std::string& name, long long size, long long length,
                     message_sink& sink);
  void apply(const box_commit& c);
  void cannot_save(message_sink& sink, int err) const;

  std::string path_, folder_;
  record_contents contents_;
  std::set<std::string> ignored_;
  std::set<std::pair<record_key, std::string>> lost_;  // outputs that lost their file's end
  std::vector<std::string> used_{kReportMark};
  bool readable_ = true;
  file_hold hold_;
  bool held_ = false;
  bool sync_whole_ = false;
  std::vector<waiter*> queue_;
  bool committing_ = false;
  std::condition_variable turn_;
  mutable std::mutex mutex_;
};
