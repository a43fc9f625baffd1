// The samples of a walk cut into request bodies for monitoring stores over
// HTTP: InfluxDB line protocol (InfluxDB 1.x /write, 2.x /api/v2/write,
// VictoriaMetrics /write) and Prometheus remote write 1.0 (Prometheus'
// receiver, VictoriaMetrics /api/v1/write).
//
// A batcher walks the series it is given and hands out one body at a time,
// each of at most `most_samples` samples (5,000 by default), so that a full
// box (16 x 32,767 samples) never sits in memory as one request. Each body
// says which samples it holds, so that a caller can tell what a store has
// acknowledged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/http.h"
#include "report/remote_write.h"

// One sensor's samples, as run_exports keeps them: values[k] was taken at
// first + k * step seconds, in the box's signed 32-bit time, wrapping as its
// clock does.
struct store_series {
  std::string family;               // "logfetch_temperature": measurement / metric name
  std::vector<store_label> labels;  // address, system_name, port, slot, type, unit, as the exports give them
  bool tenths = false;              // values in tenths, written with one decimal
  int32_t first = 0;                // time of values[0]
  uint32_t step = 0;                // seconds between samples
  std::vector<int32_t> values;      // oldest first
};

enum class store_format {
  kLineProtocol,  // the lines of the .lp export, byte for byte at nanoseconds
  kRemoteWrite,   // a snappy-compressed WriteRequest
};

// The unit of line-protocol timestamps: what the URL's precision= says.
enum class lp_precision { kNanoseconds, kMicroseconds, kMilliseconds, kSeconds };

// Reads the precision= parameter of an influx URL's query: none, "ns" or "n"
// is nanoseconds; "us" or "u", "ms", "s" the others. False with *error for
// any other value (minutes and hours would lose the samples' seconds).
bool lp_precision_of(std::string_view query, lp_precision* precision, std::string* error);

constexpr size_t kStoreBatchSamples = 5000;

struct store_batch_options {
  store_format format = store_format::kLineProtocol;
  lp_precision precision = lp_precision::kNanoseconds;  // line protocol only
  size_t most_samples = kStoreBatchSamples;
  bool own_snappy = false;  // remote write: our encoder even where the library is built in
};

// values[begin, end) of series[series] went into a body.
struct series_part {
  size_t series;
  size_t begin, end;
};

struct store_batch {
  std::string body;
  std::vector<series_part> parts;  // in the body's order
  size_t samples = 0;              // sent in the body
};

class store_batcher {
 public:
  // `series` must outlive the batcher and stay as it is.
  store_batcher(const std::vector<store_series>& series, const store_batch_options& options);

  // The next body in *batch; false when every sample has gone into one.
  // Remote write sends each series in time order: a sample not later than
  // the one sent before it (the box's 32-bit clock wrapping, or a logging
  // interval of 0) is left out, as the OpenMetrics file leaves it out; it
  // still counts in its part's range.
  bool next(store_batch* batch);

 private:
  void add_lines(const store_series& s, size_t begin, size_t end, store_batch* batch);
  // How many of values[begin..] fit into `room` samples; appends them.
  size_t add_series(size_t index, size_t room, store_batch* batch);

  const std::vector<store_series>& series_;
  store_batch_options options_;
  size_t at_series_ = 0, at_value_ = 0;
  // Remote write: the labels of the series at hand, and the time of the
  // last sample sent from it.
  size_t labels_of_ = SIZE_MAX;
  std::string labels_;
  bool have_last_ = false;
  int32_t last_time_ = 0;
  std::string request_;
  std::vector<remote_write_sample> samples_;
  std::string line_head_;  // line protocol: measurement and tags of the series at hand
};

// The headers a body of this format is sent with.
std::vector<HttpHeader> store_headers(store_format format);
