#include "report/store_batches.h"

#include <algorithm>
#include <cstring>

#include "report/digits.h"
#include "report/exports.h"
#include "report/snappy.h"

namespace {

char* put_int(char* p, int64_t v) {
  if (v < 0) {
    *p++ = '-';
    return decimal::put_uint(p, 0 - static_cast<uint64_t>(v));
  }
  return decimal::put_uint(p, static_cast<uint64_t>(v));
}

int64_t units_per_second(lp_precision p) {
  switch (p) {
    case lp_precision::kNanoseconds:
      return 1000000000;
    case lp_precision::kMicroseconds:
      return 1000000;
    case lp_precision::kMilliseconds:
      return 1000;
    case lp_precision::kSeconds:
      break;
  }
  return 1;
}

// The time of values[k], as the exports count it.
int32_t time_of(const store_series& s, size_t k) {
  return static_cast<int32_t>(static_cast<uint32_t>(s.first) + static_cast<uint32_t>(k) * s.step);
}

double value_of(const store_series& s, int32_t v) { return s.tenths ? v / 10.0 : static_cast<double>(v); }

}  // namespace

bool lp_precision_of(std::string_view query, lp_precision* precision, std::string* error) {
  std::string p;
  if (!http_query_value(query, "precision", &p) || p == "ns" || p == "n") {
    *precision = lp_precision::kNanoseconds;
  } else if (p == "us" || p == "u") {
    *precision = lp_precision::kMicroseconds;
  } else if (p == "ms") {
    *precision = lp_precision::kMilliseconds;
  } else if (p == "s") {
    *precision = lp_precision::kSeconds;
  } else {
    *error = "precision=" + p + " cannot be used: give ns, us, ms or s (samples are taken on whole seconds)";
    return false;
  }
  return true;
}

store_batcher::store_batcher(const std::vector<store_series>& series, const store_batch_options& options)
    : series_(series), options_(options) {
  if (options_.most_samples == 0) options_.most_samples = 1;
}

void store_batcher::add_lines(const store_series& s, size_t begin, size_t end, store_batch* batch) {
  const int64_t scale = units_per_second(options_.precision);
  std::string& out = batch->body;
  // Measurement and tags, a value of 12 characters at most, a timestamp of 20.
  out.reserve(out.size() + (end - begin) * (line_head_.size() + 48));
  for (size_t k = begin; k < end; ++k) {
    out += line_head_;
    char buf[64];
    char* p = buf;
    std::memcpy(p, " value=", 7);
    p = put_export_value(p + 7, s.values[k], s.tenths);
    *p++ = ' ';
    p = put_int(p, static_cast<int64_t>(time_of(s, k)) * scale);
    *p++ = '\n';
    out.append(buf, static_cast<size_t>(p - buf));
  }
}

size_t store_batcher::add_series(size_t index, size_t room, store_batch* batch) {
  const store_series& s = series_[index];
  if (labels_of_ != index) {
    labels_of_ = index;
    have_last_ = false;
    if (options_.format == store_format::kRemoteWrite) {
      labels_ = remote_write_labels(s.family, s.labels);
    } else {
      // As the .lp export writes them; a tag without a value is left out.
      line_head_.clear();
      append_measurement(&line_head_, s.family.data(), s.family.size());
      for (const store_label& l : s.labels) {
        if (l.value.empty()) continue;
        line_head_ += ',';
        append_tag_value(&line_head_, l.name.data(), l.name.size());
        line_head_ += '=';
        append_tag_value(&line_head_, l.value.data(), l.value.size());
      }
    }
  }
  const size_t begin = at_value_;
  size_t sent = 0;
  if (options_.format == store_format::kLineProtocol) {
    sent = std::min(room, s.values.size() - begin);
    add_lines(s, begin, begin + sent, batch);
    at_value_ = begin + sent;
  } else {
    samples_.clear();
    size_t k = begin;
    for (; k < s.values.size() && sent < room; ++k) {
      const int32_t t = time_of(s, k);
      if (have_last_ && t <= last_time_) continue;
      have_last_ = true;
      last_time_ = t;
      samples_.push_back({value_of(s, s.values[k]), static_cast<int64_t>(t) * 1000});
      ++sent;
    }
    at_value_ = k;
    if (sent > 0) append_time_series(&request_, labels_, samples_.data(), samples_.size());
  }
  batch->parts.push_back({index, begin, at_value_});
  batch->samples += sent;
  return sent;
}

bool store_batcher::next(store_batch* batch) {
  batch->body.clear();
  batch->parts.clear();
  batch->samples = 0;
  request_.clear();
  size_t room = options_.most_samples;
  while (room > 0 && at_series_ < series_.size()) {
    if (at_value_ >= series_[at_series_].values.size()) {
      ++at_series_;
      at_value_ = 0;
      continue;
    }
    room -= add_series(at_series_, room, batch);
  }
  if (options_.format == store_format::kRemoteWrite && batch->samples > 0) {
    if (options_.own_snappy) {
      snappy_compress_own(request_, &batch->body);
    } else {
      snappy_compress(request_, &batch->body);
    }
  }
  return batch->samples > 0;
}

std::vector<HttpHeader> store_headers(store_format format) {
  if (format == store_format::kRemoteWrite) return remote_write_headers();
  return {{"Content-Type", "text/plain; charset=utf-8"}};
}
