// Hands one successfully read sensor from the walk to the report writer.
#pragma once

#include <set>
#include <string>

#include "device/reading.h"
#include "report/output_context.h"

class csv_history;
class datafile;
class message_sink;

class report_handoff {
 public:
  // Messages on *ctx.sink (standard output and error when null); the writer
  // brings its own folder and clock.
  report_handoff(datafile& writer, bool overwrite, const output_context& ctx)
      : writer_(writer), overwrite_(overwrite), sink_(ctx.sink) {}

  // Builds the file name and writes the report, then with -c adds the
  // samples to the sensor's history; the walk goes on whatever happens here.
  // 0 when the report was written, -1 when it was not.
  int save(const reading& sensor);
  // With -c: each sensor's samples also go to its CSV history.
  void keep_history(csv_history* history) { history_ = history; }
  // Histories that could not be written this run.
  int failed_histories() const { return failed_histories_; }

 private:
  datafile& writer_;
  bool overwrite_;
  message_sink* sink_;
  std::set<std::string> emptied_;  // names already emptied by -o this run
  csv_history* history_ = nullptr;
  int failed_histories_ = 0;

  int save_report(const reading& sensor);
};
