#include "report/remote_write.h"

#include <algorithm>

#include "report/protobuf.h"

namespace {

enum : unsigned {
  kRequestTimeseries = 1,
  kSeriesLabels = 1,
  kSeriesSamples = 2,
  kLabelName = 1,
  kLabelValue = 2,
  kSampleValue = 1,
  kSampleTimestamp = 2,
};

// A Sample: its value's key and 8 bytes, its timestamp's key and varint.
size_t sample_size(const remote_write_sample& s) {
  return 1 + 8 + 1 + protobuf::varint_size(static_cast<uint64_t>(s.timestamp_ms));
}

}  // namespace

std::string remote_write_labels(const std::string& name, const std::vector<store_label>& labels) {
  std::vector<store_label> all;
  all.reserve(labels.size() + 1);
  all.push_back({"__name__", name});
  for (const store_label& l : labels) {
    if (!l.value.empty()) all.push_back(l);
  }
  std::stable_sort(all.begin(), all.end(),
                   [](const store_label& a, const store_label& b) { return a.name < b.name; });
  all.erase(std::unique(all.begin(), all.end(),
                        [](const store_label& a, const store_label& b) { return a.name == b.name; }),
            all.end());
  std::string out, label;
  for (const store_label& l : all) {
    label.clear();
    protobuf::put_bytes(&label, kLabelName, l.name.data(), l.name.size());
    protobuf::put_bytes(&label, kLabelValue, l.value.data(), l.value.size());
    protobuf::put_bytes(&out, kSeriesLabels, label.data(), label.size());
  }
  return out;
}

void append_time_series(std::string* request, const std::string& labels,
                        const remote_write_sample* samples, size_t count) {
  size_t size = labels.size();
  for (size_t i = 0; i < count; ++i) size += 2 + sample_size(samples[i]);  // key, length (< 128)
  *request += static_cast<char>(protobuf::key(kRequestTimeseries, protobuf::kLengthDelimited));
  protobuf::put_varint(request, size);
  request->reserve(request->size() + size);
  *request += labels;
  for (size_t i = 0; i < count; ++i) {
    const remote_write_sample& s = samples[i];
    *request += static_cast<char>(protobuf::key(kSeriesSamples, protobuf::kLengthDelimited));
    *request += static_cast<char>(sample_size(s));
    *request += static_cast<char>(protobuf::key(kSampleValue, protobuf::kFixed64));
    protobuf::put_double_le(request, s.value);
    *request += static_cast<char>(protobuf::key(kSampleTimestamp, protobuf::kVarint));
    protobuf::put_int64_varint(request, s.timestamp_ms);
  }
}

std::vector<HttpHeader> remote_write_headers() {
  return {{"Content-Encoding", "snappy"},
          {"Content-Type", "application/x-protobuf"},
          {"X-Prometheus-Remote-Write-Version", "0.1.0"}};
}
