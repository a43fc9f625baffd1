// The report writer: writes each sensor's report, under the name
// report_name gives it.
#pragma once

#include <cstdint>

#include "device/reading.h"
#include "report/output_context.h"
#include "report/text_file.h"

class getdata;
class message_sink;

// Set by -t: timestamps in the box's zone instead of UTC.
extern uint8_t use_local_time;

class datafile {
 public:
  // Names and times as -t (use_local_time) says, on the process-wide zone
  // engine; files in the current folder, messages on standard output.
  datafile() = default;
  // Everything from `ctx`: its zone engine (the process-wide one when null),
  // its -t, its sink (unless write_data is handed one) and its folder, which
  // write_data puts before the file name it is given.
  explicit datafile(const output_context& ctx) : ctx_(ctx), has_ctx_(true) {}
  virtual ~datafile() = default;

  // flags: 2 = address prefix, 1 = time stamp. Returns the name's length, or
  // -1 when it does not fit in `size` bytes.
  int make_filename(char* buffer, int size, const reading& sensor, int flags);
  // append: non-zero adds to the file ("a+"), zero replaces it ("w+"). A
  // report that cannot be written whole leaves the file as it was. Returns 0,
  // or -1 with a message on `sink` (standard output and error when null).
  int write_data(const char* filename, const reading& sensor, int append,
                 message_sink* sink = nullptr);

  // The same, on the sensor the connection read last.
  int make_filename(char* buffer, int size, const getdata* conn, int flags);
  int write_data(const char* filename, const getdata* conn, int append,
                 message_sink* sink = nullptr);

  double average = 0;

 private:
  bool local_time() const;
  zone_engine& zones() const;

  output_context ctx_;
  bool has_ctx_ = false;
  write_block block_;  // allocated once per writer
};
