// The report writer: writes each sensor's report, under the name
// report_name gives it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "device/reading.h"
#include "report/output_context.h"
#include "report/text_file.h"

class message_sink;

// The newest whole sample line of the report file at `path`, read back: the
// box times that write_data prints as its stamp under its report's heading
// (UTC, or the zone the heading names), earliest first; none when the file
// holds no such line, or no heading before it says how it was printed.
std::vector<int32_t> read_report_newest(const std::string& path, bool tenths);

class datafile {
 public:
  // Until use() says otherwise: UTC times on the process-wide zone engine,
  // files in the current folder, messages on standard output.
  datafile() = default;
  // Everything from `ctx`: its zone engine (the process-wide one when null),
  // its -t, its sink (unless write_data is handed one) and its folder, which
  // write_data puts before the file name it is given.
  explicit datafile(const output_context& ctx) : ctx_(ctx) {}
  virtual ~datafile() = default;
  // The run's context, for the writer built before the run began.
  void use(const output_context& ctx) { ctx_ = ctx; }

  // flags: 2 = address prefix, 1 = time stamp. Returns the name's length, or
  // -1 when it does not fit in `size` bytes.
  int make_filename(char* buffer, int size, const reading& sensor, int flags);
  // append: non-zero adds to the file ("a+"), zero replaces it ("w+"). A
  // report that cannot be written whole leaves the file as it was. Returns 0,
  // or -1 with a message on `sink` (standard output and error when null).
  int write_data(const char* filename, const reading& sensor, int append,
                 message_sink* sink = nullptr);

  double average = 0;
  // -t: times in the box's zone.
  bool local_time() const;

 private:
  zone_engine& zones() const;

  output_context ctx_;
  write_block block_;  // allocated once per writer
};
