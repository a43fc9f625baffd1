// An exported sample against a CSV row: a full sensor (32767 samples) saved to
// a fresh CSV history, then exported as OpenMetrics and as line protocol,
// alternately; the ratios are taken from the best of each.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

#include "bench/bench_sensor.h"
#include "bench/quiet_stdout.h"
#include "report/csv_history.h"
#include "report/exports.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSamples = bench::kSensorSamples;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

void BM_ExportedSampleAgainstCsvRow(benchmark::State& state) {
  char templ[] = "/tmp/logfetch-export-bench-XXXXXX";
  if (mkdtemp(templ) == nullptr) {
    state.SkipWithError("cannot make a scratch folder");
    return;
  }
  const std::string folder = std::string(templ) + "/";
  const bench::BenchSensor sensor;
  const reading r = sensor.view();
  const std::string csv = folder + history_name(r.address, 1, 1, 2);
  const std::string lp = folder + r.address + ".lp";
  QuietStdout quiet;
  double best_csv = std::numeric_limits<double>::infinity(), best_om = best_csv, best_lp = best_csv;
  for (auto _ : state) {
    std::remove(csv.c_str());
    std::remove(lp.c_str());
    output_context in_folder;
    in_folder.folder = folder;
    csv_history history(in_folder);
    const auto t0 = Clock::now();
    const int saved = history.save(r);
    const auto t1 = Clock::now();
    output_context ctx;
    ctx.folder = folder;
    run_exports om(r.address, kExportOpenMetrics, 1796685429, ctx);
    om.add(r);
    const int om_failed = om.finish();
    const auto t2 = Clock::now();
    run_exports influx(r.address, kExportInflux, 1796685429, ctx);
    influx.add(r);
    const int lp_failed = influx.finish();
    const auto t3 = Clock::now();
    if (saved != 0 || om_failed != 0 || lp_failed != 0) {
      state.SkipWithError("a write failed");
      break;
    }
    best_csv = std::min(best_csv, seconds(t1 - t0));
    best_om = std::min(best_om, seconds(t2 - t1));
    best_lp = std::min(best_lp, seconds(t3 - t2));
    state.SetIterationTime(seconds(t2 - t1) + seconds(t3 - t2));
  }
  std::system(("rm -rf '" + folder + "'").c_str());
  state.counters["csv_ns_per_row"] = best_csv * 1e9 / kSamples;
  state.counters["om_ns_per_sample"] = best_om * 1e9 / kSamples;
  state.counters["lp_ns_per_sample"] = best_lp * 1e9 / kSamples;
  state.counters["om_ratio_to_csv"] = best_om / best_csv;
  state.counters["lp_ratio_to_csv"] = best_lp / best_csv;
}
BENCHMARK(BM_ExportedSampleAgainstCsvRow)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
