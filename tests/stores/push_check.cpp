// Pushes made-up sensor series to a store through the program's own HTTP
// seam and batcher, for scripts/test-push.sh to query back:
//
//   push_check --url URL --format influx|remote_write [--series N] [--samples M]
//              [--first SECONDS] [--step SECONDS] [--most N] [--address TEXT]
//              [--own-snappy] [--ca FILE] [--timeout MS]
//
// Series i is logfetch_temperature (even i) or logfetch_4_20ma in tenths (odd
// i), port i/2+1, slot i%2+1; sample k of it is ((7k + 13i) mod 400) - 100.
// One line per body with the store's answer and what it means, then
// "pushed N samples in B bodies, sum S". Exit status 0 when every body was
// acknowledged, 1 when one was not (the push stops there), 2 for a bad
// command line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/http.h"
#include "report/store_batches.h"
#include "report/store_reply.h"

namespace {

const char* verdict_word(push_verdict v) {
  switch (v) {
    case push_verdict::kAcknowledged:
      return "acknowledged";
    case push_verdict::kStoreDown:
      return "store down";
    case push_verdict::kSamplesRefused:
      return "samples refused";
    case push_verdict::kRefused:
      break;
  }
  return "refused";
}

int usage(const char* why) {
  std::fprintf(stderr, "push_check: %s\n", why);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string url_text, format_text, address = "127.0.0.1", ca_file;
  long series_count = 2, samples = 100, step = 60, most = 5000, timeout_ms = 10000;
  long long first = -1;
  bool own_snappy = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    const char* v = nullptr;
    if (a == "--own-snappy") {
      own_snappy = true;
    } else if ((v = value()) == nullptr) {
      return usage(("no value after " + a).c_str());
    } else if (a == "--url") {
      url_text = v;
    } else if (a == "--format") {
      format_text = v;
    } else if (a == "--address") {
      address = v;
    } else if (a == "--ca") {
      ca_file = v;
    } else if (a == "--series") {
      series_count = std::atol(v);
    } else if (a == "--samples") {
      samples = std::atol(v);
    } else if (a == "--first") {
      first = std::atoll(v);
    } else if (a == "--step") {
      step = std::atol(v);
    } else if (a == "--most") {
      most = std::atol(v);
    } else if (a == "--timeout") {
      timeout_ms = std::atol(v);
    } else {
      return usage(("unknown word " + a).c_str());
    }
  }
  HttpUrl url;
  std::string error;
  if (!parse_http_url(url_text, &url, &error)) return usage(error.c_str());
  store_batch_options options;
  if (format_text == "influx") {
    options.format = store_format::kLineProtocol;
    if (!lp_precision_of(url.query, &options.precision, &error)) return usage(error.c_str());
  } else if (format_text == "remote_write") {
    options.format = store_format::kRemoteWrite;
  } else {
    return usage("--format is influx or remote_write");
  }
  if (series_count < 1 || samples < 1 || step < 0 || most < 1) return usage("counts must be positive");
  options.most_samples = static_cast<size_t>(most);
  options.own_snappy = own_snappy;
  if (first < 0) {
    const long long now = static_cast<long long>(std::time(nullptr));
    first = now - now % (step > 0 ? step : 1) - (samples - 1) * step;
  }

  std::vector<store_series> series;
  double sum = 0;
  for (long i = 0; i < series_count; ++i) {
    store_series s;
    const bool tenths = i % 2 == 1;
    s.family = tenths ? "logfetch_4_20ma" : "logfetch_temperature";
    s.labels = {{"address", address},
                {"system_name", "Push check"},
                {"port", std::to_string(i / 2 + 1)},
                {"slot", std::to_string(i % 2 + 1)},
                {"type", tenths ? "4-20ma" : "temperature"},
                {"unit", tenths ? "mA" : "C"}};
    s.tenths = tenths;
    s.first = static_cast<int32_t>(first);
    s.step = static_cast<uint32_t>(step);
    for (long k = 0; k < samples; ++k) {
      const auto v = static_cast<int32_t>((7 * k + 13 * i) % 400 - 100);
      s.values.push_back(v);
      sum += tenths ? v / 10.0 : v;
    }
    series.push_back(std::move(s));
  }

  HttpClient client;
  if (!client.ready(&error)) {
    std::printf("push_check: %s\n", error.c_str());
    return 1;
  }
  HttpRequest request;
  request.url = url_text;
  request.headers = store_headers(options.format);
  request.timeout_ms = static_cast<int>(timeout_ms);
  request.ca_file = ca_file;
  store_batcher batcher(series, options);
  store_batch batch;
  size_t pushed = 0, bodies = 0;
  while (batcher.next(&batch)) {
    request.body = batch.body;
    const push_judgement j = judge_push(client.post(request));
    ++bodies;
    std::printf("body %zu: %zu samples, %s: %s\n", bodies, batch.samples, j.text.c_str(),
                verdict_word(j.verdict));
    if (j.verdict != push_verdict::kAcknowledged) return 1;
    pushed += batch.samples;
  }
  std::printf("pushed %zu samples in %zu bodies, sum %.1f\n", pushed, bodies, sum);
  return 0;
}
