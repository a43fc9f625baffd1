#include "report/handoff.h"

#include <cstdio>

#include "device/getdata.h"
#include "report/csv_history.h"
#include "report/datafile.h"

void report_handoff::save(const getdata& conn) {
  char name[100];
  if (writer_.make_filename(name, sizeof name, &conn, 2) < 0) {
    // A cut-off name could be another sensor's file, or a name without ".txt".
    std::printf("File name too long for sensor on port %d !\n", conn.status->port + 1);
    if (history_ != nullptr) history_->save(conn.view());
    return;
  }
  // Two sensors of one type on one port share a name: with -o only the first
  // report of the run empties the file, the later ones are added after it.
  // A file that could not be written is emptied by the next report instead.
  const bool empty_first = overwrite_ && emptied_.count(name) == 0;
  if (writer_.write_data(name, &conn, empty_first ? 0 : 1) == 0 && empty_first)
    emptied_.insert(name);
  if (history_ != nullptr) history_->save(conn.view());
}
