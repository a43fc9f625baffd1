// Memory of the whole walk of a full box: the peak resident memory of the
// real logfetch process, and the heap allocations of the walk counted in
// this process, which must not grow with the number of samples (the sample
// buffer is resized once per sensor, nothing is allocated per datagram).
// Two boxes that differ only in the length of their datalogs tell.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_box.h"
#include "bench/memory_shim.h"

namespace {

constexpr int kFullSamples = 32767;
constexpr int kShortSamples = 1000;
constexpr const char* kFullAddr = "127.0.8.3";
constexpr const char* kShortAddr = "127.0.8.4";

bool allocations_grow = false;

// Peak resident memory of one run of the real program, in KiB; -1 on failure.
long peak_rss_kib(const std::string& dir, const char* addr) {
  const bench::ProgramRun run =
      bench::run_in(dir, LF_LOGFETCH_PATH, {"-i", addr, "-p", bench::kPassword, "-o"});
  return run.status == 0 ? run.peak_rss_kib : -1;
}

// Heap allocations of one whole walk with a fresh connection and writer, as
// the program makes it.
long long walk_allocations(const std::string& dir, const char* addr) {
  if (chdir(dir.c_str()) != 0) return -1;
  getdata conn;
  datafile writer;
  const long long before = heap_allocations();
  const int status = bench::run_walk(addr, false, conn, writer);
  const long long made = heap_allocations() - before;
  return status == 0 ? made : -1;
}

void BM_WalkMemory(benchmark::State& state) {
  const std::string dir = bench::make_scratch_dir();
  bench::BoxsimProcess full(kFullAddr, bench::write_box_file(dir, kFullSamples));
  bench::BoxsimProcess shorter(kShortAddr, bench::write_box_file(dir, kShortSamples));
  if (!full.ready() || !shorter.ready()) {
    state.SkipWithError("boxsim did not start on 127.0.8.3/4:811 (root needed)");
    bench::rm_tree(dir);
    return;
  }
  long long full_allocs = 0, short_allocs = 0;
  long full_rss = 0, short_rss = 0;
  for (auto _ : state) {
    // One walk first, so what the C library sets up once is not counted.
    walk_allocations(dir, kShortAddr);
    full_allocs = walk_allocations(dir, kFullAddr);
    short_allocs = walk_allocations(dir, kShortAddr);
    full_rss = peak_rss_kib(dir, kFullAddr);
    short_rss = peak_rss_kib(dir, kShortAddr);
  }
  const bool complete = bench::reports_complete(dir, kFullAddr, kFullSamples) &&
                        bench::reports_complete(dir, kShortAddr, kShortSamples);
  bench::rm_tree(dir);
  if (full_allocs < 0 || short_allocs < 0 || full_rss < 0 || short_rss < 0 || !complete) {
    state.SkipWithError("a walk failed");
    return;
  }
  const int full_datagrams = bench::kSensors * (1 + bench::data_requests(kFullSamples));
  const int short_datagrams = bench::kSensors * (1 + bench::data_requests(kShortSamples));
  allocations_grow = full_allocs > short_allocs;
  state.counters["peak_rss_kib"] = static_cast<double>(full_rss);
  state.counters["peak_rss_kib_1000"] = static_cast<double>(short_rss);
  state.counters["allocs_walk"] = static_cast<double>(full_allocs);
  state.counters["allocs_walk_1000"] = static_cast<double>(short_allocs);
  state.counters["allocs_per_sensor"] = static_cast<double>(full_allocs) / bench::kSensors;
  state.counters["allocs_per_datagram"] =
      static_cast<double>(full_allocs - short_allocs) / (full_datagrams - short_datagrams);
}
BENCHMARK(BM_WalkMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (allocations_grow) {
    std::fprintf(stderr, "memory_bench: heap allocations grow with the number of samples\n");
    return 1;
  }
  return 0;
}
