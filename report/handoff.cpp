#include "report/handoff.h"

#include "report/csv_history.h"
#include "report/datafile.h"
#include "report/sink.h"

int report_handoff::save(const reading& sensor) {
  if (sensor.status == nullptr) return -1;
  const int result = save_report(sensor);
  // A history skips the samples it already has, so it is written whatever
  // became of the report.
  if (history_ != nullptr && history_->save(sensor) != 0) ++failed_histories_;
  return result;
}

int report_handoff::save_report(const reading& sensor) {
  char name[100];
  if (writer_.make_filename(name, sizeof name, sensor, 2) < 0) {
    // A cut-off name could be another sensor's file, or a name without ".txt".
    message_sink& console = sink_ != nullptr ? *sink_ : standard_sink();
    console.say("File name too long for sensor on port %d !\n", sensor.status->port + 1);
    return -1;
  }
  // Two sensors of one type on one port share a name: with -o only the first
  // report of the run empties the file, the later ones are added after it.
  // A file that could not be written is emptied by the next report instead.
  const bool empty_first = overwrite_ && emptied_.count(name) == 0;
  if (writer_.write_data(name, sensor, empty_first ? 0 : 1, sink_) != 0) return -1;
  if (empty_first) emptied_.insert(name);
  return 0;
}
