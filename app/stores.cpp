#include "app/stores.h"

#include <algorithm>
#include <thread>

#include "report/exports.h"
#include "report/sink.h"

namespace {

// A body refused for its samples is halved at most this deep (pieces of
// about 20 samples from 5,000), and a walk makes at most this many such
// requests per store, whatever the store refuses.
constexpr int kMostSplitDepth = 8;
constexpr int kMostSplitRequests = 128;
constexpr int kTries = 2;

int32_t time_of(const store_series& s, size_t k) {
  return static_cast<int32_t>(static_cast<uint32_t>(s.first) + static_cast<uint32_t>(k) * s.step);
}

size_t count_of(const std::vector<series_part>& parts) {
  size_t n = 0;
  for (const series_part& p : parts) n += p.end - p.begin;
  return n;
}

}  // namespace

std::string store_mark(const std::string& name) { return "store." + name; }

store_push::store_push(const site_store& store, poster post, clock_type::time_point deadline,
                       const output_context& ctx, std::string address)
    : store_(store),
      mark_(store_mark(store.name)),
      post_(std::move(post)),
      deadline_(deadline),
      sink_(ctx.sink != nullptr ? *ctx.sink : standard_sink()),
      box_(ctx.box),
      address_(std::move(address)) {
  options_.format = store.kind == store_kind::remote_write ? store_format::kRemoteWrite
                                                           : store_format::kLineProtocol;
  HttpUrl url;
  std::string error;
  // The site file has checked the URL and its precision.
  if (parse_http_url(store.url, &url, &error)) {
    shown_ = url.shown();
    if (options_.format == store_format::kLineProtocol)
      lp_precision_of(url.query, &options_.precision, &error);
  }
  request_.url = store.url;
  request_.headers = store_headers(options_.format);
  if (!store.authorization.empty()) request_.headers.push_back({"Authorization", store.authorization});
  request_.ca_file = store.ca_file;
}

bool store_push::add(const reading& part) {
  if (part.status == nullptr || part.samples == nullptr) return true;
  const SensorStatus& st = *part.status;
  // The samples the report holds, as the exports count them.
  const int n = std::max(0, std::min(part.count, static_cast<int>(st.logCount)));
  if (n == 0) return true;
  const export_name name = export_name_of(part, box_, address_);
  store_series s;
  s.family = name.family;
  for (const auto& [label, value] : name.labels) s.labels.push_back({label, value});
  s.tenths = is_tenths_type(st.sensorType);
  s.step = static_cast<uint32_t>(st.logInterval) * 60u;
  s.first = static_cast<int32_t>(static_cast<uint32_t>(st.lastLogTime) -
                                 static_cast<uint32_t>(n - 1) * s.step);
  s.values.resize(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) s.values[static_cast<size_t>(i)] = part.get_value(i);
  series_.push_back(std::move(s));
  sensor k;
  k.port = st.port;
  k.slot = part.slot;
  k.unsettled = static_cast<size_t>(n);
  sensors_.push_back(k);
  total_ += n;
  return true;
}

void store_push::trim_to_window() {
  if (store_.window_seconds <= 0 || series_.empty()) return;
  int64_t newest = INT64_MIN;
  for (const store_series& s : series_)
    if (!s.values.empty()) newest = std::max<int64_t>(newest, time_of(s, s.values.size() - 1));
  const int64_t oldest = newest - store_.window_seconds;
  for (size_t i = 0; i < series_.size(); ++i) {
    store_series& s = series_[i];
    size_t k = 0;
    while (k < s.values.size() && time_of(s, k) < oldest) ++k;
    if (k == 0) continue;
    s.first = time_of(s, k);
    s.values.erase(s.values.begin(), s.values.begin() + static_cast<std::ptrdiff_t>(k));
    sensors_[i].too_old = k;
    sensors_[i].unsettled -= k;
  }
}

bool store_push::post(const std::string& body, push_judgement* answer) {
  for (int attempt = 1;; ++attempt) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline_ - clock_type::now());
    if (left.count() <= 0) {
      *answer = {push_verdict::kStoreDown, "the walk's deadline has passed"};
      return false;
    }
    request_.body = body;
    request_.timeout_ms =
        static_cast<int>(std::min<long long>(store_.timeout_seconds * 1000LL, left.count()));
    *answer = judge_push(post_(request_));
    request_.body = {};
    if (answer->verdict != push_verdict::kStoreDown || attempt == kTries) break;
    // A store that is restarting may take the next try; none past the deadline.
    if (clock_type::now() + retry_pause >= deadline_) break;
    std::this_thread::sleep_for(retry_pause);
  }
  return answer->verdict == push_verdict::kAcknowledged;
}

std::string store_push::body_of(const std::vector<series_part>& parts, size_t* samples) const {
  std::vector<store_series> pieces;
  for (const series_part& p : parts) {
    const store_series& whole = series_[p.series];
    store_series piece;
    piece.family = whole.family;
    piece.labels = whole.labels;
    piece.tenths = whole.tenths;
    piece.step = whole.step;
    piece.first = time_of(whole, p.begin);
    piece.values.assign(whole.values.begin() + static_cast<std::ptrdiff_t>(p.begin),
                        whole.values.begin() + static_cast<std::ptrdiff_t>(p.end));
    pieces.push_back(std::move(piece));
  }
  store_batch_options one = options_;
  one.most_samples = SIZE_MAX;
  store_batcher batcher(pieces, one);
  store_batch batch;
  batcher.next(&batch);
  *samples = batch.samples;
  return batch.body;
}

void store_push::settle(const std::vector<series_part>& parts, const std::string* refused) {
  for (const series_part& p : parts) {
    sensor& k = sensors_[p.series];
    k.unsettled -= p.end - p.begin;
    if (refused == nullptr) continue;
    k.refused += p.end - p.begin;
    if (k.why.empty()) k.why = *refused;
  }
}

bool store_push::send(const std::vector<series_part>& parts, const std::string& body,
                      size_t samples, int depth) {
  push_judgement answer;
  if (post(body, &answer)) {
    settle(parts, nullptr);
    sent_ += static_cast<long long>(samples);
    return true;
  }
  if (answer.verdict != push_verdict::kSamplesRefused) {
    size_t waiting = 0;
    for (const sensor& k : sensors_) waiting += k.unsettled;
    sink_.say("Store %s at %s: %s, %lld samples not sent.\n", store_.name.c_str(), shown_.c_str(),
              answer.text.c_str(), static_cast<long long>(waiting));
    return false;
  }
  // One sample the store will never take refuses the whole request: the
  // halves go again, until what is left is refused for good.
  const size_t n = count_of(parts);
  if (n <= 1 || depth >= kMostSplitDepth || splits_left_ < 2) {
    settle(parts, &answer.text);
    return true;
  }
  std::vector<series_part> halves[2];
  size_t taken = 0;
  for (const series_part& p : parts) {
    const size_t size = p.end - p.begin;
    if (taken >= n / 2) {
      halves[1].push_back(p);
    } else if (taken + size <= n / 2) {
      halves[0].push_back(p);
    } else {
      const size_t cut = p.begin + (n / 2 - taken);
      halves[0].push_back({p.series, p.begin, cut});
      halves[1].push_back({p.series, cut, p.end});
    }
    taken += size;
  }
  for (const auto& half : halves) {
    --splits_left_;
    size_t count = 0;
    const std::string piece = body_of(half, &count);
    if (count == 0) {
      settle(half, nullptr);  // only samples the series had sent before
      continue;
    }
    if (!send(half, piece, count, depth + 1)) return false;
  }
  return true;
}

bool store_push::finish() {
  if (series_.empty()) return true;
  trim_to_window();
  splits_left_ = kMostSplitRequests;
  options_.most_samples = most_samples;
  store_batcher batcher(series_, options_);
  store_batch batch;
  bool ok = true;
  while (batcher.next(&batch)) {
    if (!send(batch.parts, batch.body, batch.samples, 0)) {
      ok = false;
      break;
    }
  }
  for (const sensor& k : sensors_) {
    if (k.too_old > 0)
      sink_.say("Store %s: port %d slot %d: %lld samples older than its window, not sent.\n",
                store_.name.c_str(), k.port + 1, k.slot + 1, static_cast<long long>(k.too_old));
    if (k.refused > 0)
      sink_.say("Store %s: port %d slot %d: %lld samples refused for good (%s).\n",
                store_.name.c_str(), k.port + 1, k.slot + 1, static_cast<long long>(k.refused),
                k.why.c_str());
  }
  series_.clear();
  series_.shrink_to_fit();
  return ok;
}

bool store_push::delivered(int port, int slot, bool) const {
  for (const sensor& k : sensors_)
    if (k.port == port && k.slot == slot) return k.unsettled == 0;
  return false;
}

std::string store_push::tally() const {
  std::string text = store_.name + ": " + std::to_string(sent_);
  size_t waiting = 0;
  for (const sensor& k : sensors_) waiting += k.unsettled;
  if (waiting > 0) text += " of " + std::to_string(total_);
  return text + (sent_ == 1 ? " sample sent" : " samples sent");
}

std::unique_ptr<store_push> store_output(const site_store& store, clock_type::time_point deadline,
                                         const output_context& ctx, const std::string& address) {
  auto client = std::make_shared<HttpClient>();
  return std::unique_ptr<store_push>(new store_push(
      store, [client](const HttpRequest& r) { return client->post(r); }, deadline, ctx, address));
}
