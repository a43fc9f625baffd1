// Prometheus remote write 1.0: the WriteRequest message, encoded by hand.
//
//   WriteRequest { repeated TimeSeries timeseries = 1; }
//   TimeSeries   { repeated Label labels = 1; repeated Sample samples = 2; }
//   Label        { string name = 1; string value = 2; }
//   Sample       { double value = 1; int64 timestamp = 2; }  // ms since 1970 UTC
//
// Every field is written, zeros too: decoders read both forms alike. The
// request goes out snappy-compressed (report/snappy.h) with the headers of
// remote_write_headers().
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/http.h"

// One label of a series (a tag, in line protocol).
struct store_label {
  std::string name, value;
};

struct remote_write_sample {
  double value;
  int64_t timestamp_ms;
};

// The Label fields of one series: `__name__` set to `name`, then `labels`,
// all sorted by name in byte order as the receivers require (which puts
// `__name__` before lower-case names); a label with an empty value is no
// label to Prometheus and is left out; a repeated name keeps its first value.
std::string remote_write_labels(const std::string& name, const std::vector<store_label>& labels);

// Appends one TimeSeries field to a WriteRequest being built: the Label
// fields from remote_write_labels and the samples, which must be in time
// order.
void append_time_series(std::string* request, const std::string& labels,
                        const remote_write_sample* samples, size_t count);

// Content-Encoding: snappy, Content-Type: application/x-protobuf and
// X-Prometheus-Remote-Write-Version: 0.1.0.
std::vector<HttpHeader> remote_write_headers();
