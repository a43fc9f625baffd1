// The samples of one run for monitoring stores (-x): an OpenMetrics file per
// run for backfilling, lines appended to an InfluxDB line-protocol file.
//
// Every sensor type is one gauge family, "logfetch_" and the type word
// ("logfetch_temperature", "logfetch_4_20ma"; "logfetch_type_N" for a code
// without a word), so that one query never mixes quantities. The unit is the
// box's own text, not known to be a base unit, so it is a label and not part
// of the name. Labels: box, address, system_name, port, slot, type, unit.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "device/reading.h"
#include "report/file_names.h"
#include "report/output_context.h"

class message_sink;

enum export_format : unsigned { kExportOpenMetrics = 1, kExportInflux = 2 };

// Adds the formats of "openmetrics", "influx" or a comma-separated list of
// them to *formats. False for any other word (or an empty one).
bool parse_export_formats(const char* text, unsigned* formats);

// Escaping, exposed for tests: OpenMetrics label values (\\ \" \n), line
// protocol tag keys and values (commas, spaces, equals signs; a line end,
// which the protocol cannot carry, becomes a space) and measurements (commas,
// spaces).
void append_label_value(std::string* out, const char* s, size_t n);
void append_tag_value(std::string* out, const char* s, size_t n);
void append_measurement(std::string* out, const char* s, size_t n);
// A sample's value as the reports write it (tenths with one decimal).
char* put_export_value(char* p, int32_t v, bool tenths);
// Nanoseconds of a second count, as the line protocol wants them.
char* put_nanoseconds(char* p, int64_t seconds);

// The family and the labels (box, address, system_name, port, slot, type,
// unit; an empty value stays in the list) of the series of `r`, as the
// exports name it; for stores that are sent the samples over HTTP.
struct export_name {
  std::string family;
  std::vector<std::pair<const char*, std::string>> labels;
};
export_name export_name_of(const reading& r, const std::string& box, const std::string& address);

// The time (seconds) of the newest whole line of the series of the sensor of
// `type` on `port` and `slot` (from 1) in the line-protocol file at `path`,
// told by its measurement and its port and slot tags. False when the file
// holds none.
bool read_line_protocol_newest(const std::string& path, uint8_t type, int port, int slot,
                               int64_t* time);

class run_exports {
 public:
  // formats: export_format bits. Files go to ctx.folder, messages to
  // *ctx.sink; the box label is ctx.box (its address when empty).
  run_exports(std::string address, unsigned formats, int64_t run_start, const output_context& ctx);

  // A sensor the walk has saved: its samples are kept for finish().
  void add(const reading& r);
  // Writes the OpenMetrics file and appends to the line-protocol file; a run
  // that saved nothing writes neither. Returns the number of files that
  // could not be written, each said.
  int finish();

  // The OpenMetrics file is written to a temporary name beside and left
  // there, for a commit to rename into place once its marks are on disk:
  // no sample reaches a reader of *.om files twice.
  void hold_back() { hold_back_ = true; }
  // With hold_back, after finish: the temporary and the final name, in
  // the folder ("" before, or when nothing was written).
  const std::string& held_name() const { return held_name_; }

  int failures() const { return failures_; }
  // The OpenMetrics file finish() wrote or tried to write ("" before).
  const std::string& openmetrics_path() const { return openmetrics_path_; }
  int samples_saved() const { return samples_; }

 private:
  struct Series {
    std::string family;  // metric and measurement name
    std::string labels;  // OpenMetrics: {address="..",...}
    std::string tags;    // line protocol: ,address=..,...
    bool tenths = false;
    int32_t first = 0;  // time of values[0]
    uint32_t step = 0;  // seconds between samples
    int count = 0;
    std::vector<int32_t> values;  // kept only with -x
  };

  bool write_openmetrics();
  bool append_influx();

  std::string address_, box_;
  unsigned formats_;
  int64_t run_start_;
  std::string folder_;
  message_sink* sink_;
  std::string openmetrics_path_;
  bool hold_back_ = false;
  std::string held_name_;
  std::vector<Series> series_;
  int failures_ = 0;
  int samples_ = 0;
};
