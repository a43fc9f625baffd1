// write_data per sample line, in UTC and in the box's zone (-t), against the
// floor: the same report, already formatted, written with one fwrite. The two
// alternate in every iteration; the ratio is taken from the best of each.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "bench/bench_sensor.h"
#include "bench/quiet_stdout.h"
#include "device/coding.h"
#include "device/messages.h"
#include "device/reading.h"
#include "report/datafile.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSamples = bench::kSensorSamples;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

void BM_WriteData(benchmark::State& state) {
  const bool use_local_time = state.range(0) != 0;
  char dir_templ[] = "/tmp/logfetch-report-bench-XXXXXX";
  if (mkdtemp(dir_templ) == nullptr) {
    state.SkipWithError("cannot make a scratch folder");
    return;
  }
  const std::string dir = dir_templ;
  const std::string report = dir + "/report.txt", copy = dir + "/floor.txt";
  const bench::BenchSensor sensor;
  const reading r = sensor.view();
  output_context zone_time;
  zone_time.local_time = use_local_time;
  datafile writer(zone_time);

  QuietStdout quiet;
  // The floor writes exactly the bytes of the report.
  writer.write_data(report.c_str(), r, 0);
  std::ifstream in(report, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

  double best_write = std::numeric_limits<double>::infinity(), best_floor = best_write;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    std::FILE* f = std::fopen(copy.c_str(), "w");
    const size_t put = std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    const auto t1 = Clock::now();
    const int result = writer.write_data(report.c_str(), r, 0);
    const auto t2 = Clock::now();
    if (put != bytes.size() || result != 0) {
      state.SkipWithError("a write failed");
      break;
    }
    best_floor = std::min(best_floor, seconds(t1 - t0));
    best_write = std::min(best_write, seconds(t2 - t1));
    state.SetIterationTime(seconds(t2 - t1));
  }
  std::remove(report.c_str());
  std::remove(copy.c_str());
  rmdir(dir.c_str());
  state.counters["ns_per_line"] = best_write * 1e9 / kSamples;
  state.counters["floor_ns_per_line"] = best_floor * 1e9 / kSamples;
  state.counters["ratio"] = best_write / best_floor;
  state.counters["bytes"] = static_cast<double>(bytes.size());
  state.SetLabel(use_local_time ? "zone time (-t)" : "UTC");
}
BENCHMARK(BM_WriteData)
    ->ArgName("local")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
