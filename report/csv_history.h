// The CSV history of each sensor (-c): one file per box address, port and
// slot, RFC 4180 with CRLF line ends, a fixed header and one row per sample,
// oldest first, never the same sample twice.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "device/reading.h"
#include "report/file_names.h"
#include "report/output_context.h"
#include "report/sensor_label.h"
#include "report/text_file.h"

class message_sink;
class zone_engine;

// The header line, without its CRLF.
constexpr char kHistoryHeader[] = "time_utc,time_local,value";

// One row of a history: the UTC time and the value, for tenths types a count
// of tenths. Returns false for a row that is not as the writer makes it.
// [begin, end) is the row without its line end.
bool parse_history_row(const char* begin, const char* end, bool tenths, int64_t* time,
                       int64_t* value);

// "YYYY-MM-DDTHH:MM:SSZ" for a signed 32-bit time; returns the end.
char* put_iso_utc(char* p, int32_t t);
// A value as the history writes it: whole, or tenths with one decimal.
char* put_history_value(char* p, int64_t v, bool tenths);

// The newest whole rows of a history on disk: what the folder still knows of
// a sensor that this run did not save.
struct history_newest {
  int64_t time = 0, value = 0;
  int64_t step = 0;  // seconds between its last two rows; 0 with one row
};
// False when `path` is no history or holds no whole row; a torn last row is
// passed over, as the next save cuts it off.
bool read_history_newest(const std::string& path, bool tenths, history_newest* out);

class csv_history {
 public:
  // In the context's folder, said on its sink, the zone column on its zone
  // engine (the process-wide one when null).
  explicit csv_history(const output_context& ctx)
      : folder_(ctx.folder), sink_(ctx.sink), zones_(ctx.zones) {}

  // Adds the samples of `r` that are newer than the file's last row. A last
  // row cut short by an earlier write is cut off first, and said; a file
  // that is not a history, or whose last rows cannot be read, is left
  // untouched. Rows that cannot all be written are taken back. Returns 0, or
  // -1 with a one-line message.
  int save(const reading& r);

  // For a sensor with nothing new: only a torn last row is cut off, and
  // said. True when the file changed.
  bool mend(const reading& r);

  // Every sensor handed to save this run, in the order of the walk.
  const std::vector<sensor_label>& sensors() const { return sensors_; }

 private:
  std::string folder_;
  message_sink* sink_;
  zone_engine* zones_ = nullptr;
  std::vector<sensor_label> sensors_;
  write_block block_;
};
