// CSV histories and the chart page.
//  - A CSV row against a report line: a full sensor (32767 samples) saved to a
//    fresh history and written as a report, in UTC and with -t, alternately;
//    the ratio is taken from the best of each.
//  - The page of a full box (16 histories of 32767 samples) against reading
//    the same histories' bytes into memory; its size is reported too.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "bench/bench_sensor.h"
#include "bench/quiet_stdout.h"
#include "device/coding.h"
#include "report/chart_page.h"
#include "report/csv_history.h"
#include "report/datafile.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSamples = bench::kSensorSamples;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string scratch_folder() {
  char templ[] = "/tmp/logfetch-history-bench-XXXXXX";
  return mkdtemp(templ) != nullptr ? std::string(templ) + "/" : "";
}

void remove_folder(const std::string& folder) { std::system(("rm -rf '" + folder + "'").c_str()); }

void BM_CsvRowAgainstReportLine(benchmark::State& state) {
  const std::string folder = scratch_folder();
  if (folder.empty()) {
    state.SkipWithError("cannot make a scratch folder");
    return;
  }
  const bench::BenchSensor sensor;
  const reading r = sensor.view();
  const std::string report = folder + "report.txt";
  const std::string csv = folder + history_name(r.address, 1, 1, 2);
  datafile writer;
  QuietStdout quiet;
  double best_csv = std::numeric_limits<double>::infinity(), best_utc = best_csv,
         best_local = best_csv;
  for (auto _ : state) {
    std::remove(csv.c_str());
    output_context in_folder;
    in_folder.folder = folder;
    csv_history history(in_folder);
    const auto t0 = Clock::now();
    const int saved = history.save(r);
    const auto t1 = Clock::now();
    output_context zone_time;
    writer.use(zone_time);
    const int utc = writer.write_data(report.c_str(), r, 0);
    const auto t2 = Clock::now();
    zone_time.local_time = true;
    writer.use(zone_time);
    const int local = writer.write_data(report.c_str(), r, 0);
    const auto t3 = Clock::now();
    if (saved != 0 || utc != 0 || local != 0) {
      state.SkipWithError("a write failed");
      break;
    }
    best_csv = std::min(best_csv, seconds(t1 - t0));
    best_utc = std::min(best_utc, seconds(t2 - t1));
    best_local = std::min(best_local, seconds(t3 - t2));
    state.SetIterationTime(seconds(t1 - t0));
  }
  remove_folder(folder);
  state.counters["csv_ns_per_row"] = best_csv * 1e9 / kSamples;
  state.counters["report_ns_per_line"] = best_utc * 1e9 / kSamples;
  state.counters["report_t_ns_per_line"] = best_local * 1e9 / kSamples;
  state.counters["ratio_to_utc"] = best_csv / best_utc;
  state.counters["ratio_to_t"] = best_csv / best_local;
}
BENCHMARK(BM_CsvRowAgainstReportLine)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);

void BM_FullBoxPage(benchmark::State& state) {
  const std::string folder = scratch_folder();
  if (folder.empty()) {
    state.SkipWithError("cannot make a scratch folder");
    return;
  }
  // 16 full histories, as a full box leaves them after one run.
  QuietStdout quiet;
  std::vector<std::string> files;
  output_context in_folder;
  in_folder.folder = folder;
  csv_history history(in_folder);
  for (uint8_t port = 0; port < 8; ++port) {
    for (uint8_t slot = 0; slot < 2; ++slot) {
      const uint8_t type = slot == 0 ? 2 : 1;
      const bench::BenchSensor sensor(port, type, slot);
      history.save(sensor.view());
      files.push_back(folder + history_name(bench::kSensorAddress, port + 1, slot + 1, type));
    }
  }
  const std::string page = folder + bench::kSensorAddress + ".html";
  std::vector<char> buffer(4 << 20);
  double best_page = std::numeric_limits<double>::infinity(), best_read = best_page;
  size_t csv_bytes = 0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    csv_bytes = 0;
    for (const std::string& name : files) {
      std::FILE* f = std::fopen(name.c_str(), "rb");
      if (f == nullptr) break;
      csv_bytes += std::fread(buffer.data(), 1, buffer.size(), f);
      std::fclose(f);
    }
    const auto t1 = Clock::now();
    const int written = write_chart_page(in_folder, bench::kSensorAddress, history.sensors());
    const auto t2 = Clock::now();
    if (written != 0) {
      state.SkipWithError("the page was not written");
      break;
    }
    best_read = std::min(best_read, seconds(t1 - t0));
    best_page = std::min(best_page, seconds(t2 - t1));
    state.SetIterationTime(seconds(t2 - t1));
  }
  long page_bytes = -1;
  if (std::FILE* f = std::fopen(page.c_str(), "rb")) {
    std::fseek(f, 0, SEEK_END);
    page_bytes = std::ftell(f);
    std::fclose(f);
  }
  remove_folder(folder);
  state.counters["page_s"] = best_page;
  state.counters["page_bytes"] = static_cast<double>(page_bytes);
  state.counters["csv_bytes"] = static_cast<double>(csv_bytes);
  state.counters["ratio_to_reading_csv"] = best_page / best_read;
}
BENCHMARK(BM_FullBoxPage)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
