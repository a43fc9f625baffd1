// zone_convert against the C library's localtime_r set to the same zone by its
// POSIX TZ text, over the same instants; split_time against gmtime_r.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "zonetime/zone_posix_tz.h"
#include "zonetime/zone_time.h"

namespace {

constexpr size_t kInstants = 4096;  // a power of two, for the wrap of the index
constexpr int32_t k1971 = 31536000;
constexpr int32_t k2038 = 2145916800;

// Spread instants make both engines work out the year's rules on nearly every
// call; datalog instants stay in one year, as a report's samples do, where
// both keep the year's rules.
enum Pattern : int64_t {
  kSpread = 0,   // random instants over 1971-2037
  kDatalog = 1,  // every five minutes for two weeks from 2005-03-26, across changes
};

const std::vector<int32_t>& instants(int64_t pattern) {
  static const std::vector<int32_t> spread = [] {
    std::vector<int32_t> v;
    uint64_t x = 88172645463325252u;
    for (size_t i = 0; i < kInstants; ++i) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      v.push_back(static_cast<int32_t>(k1971 + x % (int64_t{k2038} - k1971)));
    }
    return v;
  }();
  static const std::vector<int32_t> datalog = [] {
    std::vector<int32_t> v;
    for (size_t i = 0; i < kInstants; ++i) v.push_back(1111800000 + static_cast<int32_t>(i) * 300);
    return v;
  }();
  return pattern == kDatalog ? datalog : spread;
}

void zone_engine(benchmark::State& state, uint8_t zone, const std::vector<int32_t>& ts) {
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(zone_convert(ts[i], zone)->tm_hour);
    i = (i + 1) & (kInstants - 1);
  }
}

void libc_engine(benchmark::State& state, const std::vector<int32_t>& ts) {
  size_t i = 0;
  struct tm out;
  for (auto _ : state) {
    const time_t t = ts[i];
    benchmark::DoNotOptimize(localtime_r(&t, &out));
    benchmark::DoNotOptimize(out.tm_hour);
    i = (i + 1) & (kInstants - 1);
  }
}

// Local time: zone_convert (libc:0) or localtime_r with the same zone as a
// POSIX TZ text (libc:1).
void BM_LocalTime(benchmark::State& state) {
  const std::vector<int32_t>& ts = instants(state.range(0));
  const uint8_t zone = static_cast<uint8_t>(state.range(1));
  const std::string tz = zone_posix_tz(zone);
  if (state.range(2) != 0) {
    setenv("TZ", tz.c_str(), 1);
    tzset();
    libc_engine(state, ts);
  } else {
    zone_engine(state, zone, ts);
  }
  state.SetLabel(tz);
}

// UTC: split_time (libc:0) or gmtime_r (libc:1).
void BM_UtcTime(benchmark::State& state) {
  const std::vector<int32_t>& ts = instants(state.range(0));
  const bool libc = state.range(1) != 0;
  size_t i = 0;
  struct tm out;
  for (auto _ : state) {
    if (libc) {
      const time_t t = ts[i];
      benchmark::DoNotOptimize(gmtime_r(&t, &out));
    } else {
      split_time(ts[i], &out);
    }
    benchmark::DoNotOptimize(out.tm_hour);
    i = (i + 1) & (kInstants - 1);
  }
}

// Zones: UTC, a UTC rule pair, a wall-clock pair, a pair across the new
// year. Each pair of engines runs back to back, so that a change of load on
// the machine hits both alike.
void local_cases(benchmark::internal::Benchmark* b) {
  for (int64_t pattern : {kSpread, kDatalog}) {
    for (int64_t zone : {0, 15, 35, 38}) {
      for (int64_t libc : {0, 1}) b->Args({pattern, zone, libc});
    }
  }
}

void utc_cases(benchmark::internal::Benchmark* b) {
  for (int64_t pattern : {kSpread, kDatalog}) {
    for (int64_t libc : {0, 1}) b->Args({pattern, libc});
  }
}

BENCHMARK(BM_LocalTime)->ArgNames({"datalog", "zone", "libc"})->Apply(local_cases);
BENCHMARK(BM_UtcTime)->ArgNames({"datalog", "libc"})->Apply(utc_cases);

}  // namespace
