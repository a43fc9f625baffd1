// Scheduled collection: a full box (16 sensors x 32767 four-byte samples)
// whose replies each take 2 ms, downloaded by a first -n run, then again
// after every sensor logged 6 new samples: with -n against the same run
// without it. Two boxsim processes serve the same box, one for the -n runs
// and one for the plain runs, so each run finds exactly 6 new samples per
// sensor. Exchanges are counted from boxsim's request log.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_box.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSamples = 32767;
constexpr int kGain = 6;
constexpr const char* kLatencyMs = "2";
constexpr const char* kIncrementalAddr = "127.0.8.5";
constexpr const char* kPlainAddr = "127.0.8.6";

int lines_in(const std::string& path) {
  std::ifstream f(path);
  int n = 0;
  for (std::string line; std::getline(f, line);) ++n;
  return n;
}

// One box, its request log and the folder its reports go to.
struct Box {
  std::string addr, folder, log;
  std::unique_ptr<bench::BoxsimProcess> process;

  Box(const std::string& a, const std::string& scratch, const std::string& box_file)
      : addr(a), folder(scratch + "/" + a), log(scratch + "/" + a + ".log") {
    mkdir(folder.c_str(), 0755);
    process.reset(
        new bench::BoxsimProcess(addr, box_file, {"--latency", kLatencyMs, "--log", log}));
  }

  struct Run {
    int status;
    double seconds;
    int exchanges;
  };
  // The whole program in this process, in the box's folder.
  Run run(bool incremental, getdata& conn, datafile& writer) {
    std::vector<std::string> args = {"logfetch", "-i", addr, "-p", bench::kPassword};
    if (incremental) args.push_back("-n");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    const int before = lines_in(log);
    if (chdir(folder.c_str()) != 0) return {-100, 0, 0};
    const auto t0 = Clock::now();
    int status;
    {
      QuietStdout quiet;
      status = logfetch_main(static_cast<int>(args.size()), argv.data(), conn, writer, stdin);
    }
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    return {status, s, lines_in(log) - before};
  }
};

void BM_ScheduledCollection(benchmark::State& state) {
  const std::string scratch = bench::make_scratch_dir();
  const std::string box_file = bench::write_box_file(scratch, kSamples, kGain);
  Box incremental(kIncrementalAddr, scratch, box_file);
  Box plain(kPlainAddr, scratch, box_file);
  getdata conn;
  datafile writer;
  const auto fail = [&](const char* why) {
    state.SkipWithError(why);
    bench::rm_tree(scratch);
  };
  if (!incremental.process->ready() || !plain.process->ready())
    return fail("boxsim did not start on 127.0.8.5/6:811 (root needed)");

  // The first downloads: everything, with and without -n.
  const Box::Run first = incremental.run(true, conn, writer);
  const Box::Run first_plain = plain.run(false, conn, writer);
  if (first.status != 0 || first_plain.status != 0) return fail("a first walk failed");

  double best_n = std::numeric_limits<double>::infinity(), best_plain = best_n;
  int exchanges_n = 0, exchanges_plain = 0;
  for (auto _ : state) {
    // Both boxes gained 6 samples per sensor since their last download.
    const Box::Run n = incremental.run(true, conn, writer);
    const Box::Run p = plain.run(false, conn, writer);
    if (n.status != 0 || p.status != 0) return fail("a walk failed");
    best_n = std::min(best_n, n.seconds);
    best_plain = std::min(best_plain, p.seconds);
    exchanges_n = std::max(exchanges_n, n.exchanges);
    exchanges_plain = std::max(exchanges_plain, p.exchanges);
    state.SetIterationTime(n.seconds);
  }
  state.counters["first_n_ms"] = first.seconds * 1e3;
  state.counters["first_n_exchanges"] = first.exchanges;
  state.counters["next_n_ms"] = best_n * 1e3;
  state.counters["next_n_exchanges"] = exchanges_n;
  state.counters["next_plain_ms"] = best_plain * 1e3;
  state.counters["next_plain_exchanges"] = exchanges_plain;
  state.counters["ratio"] = best_n / best_plain;
  state.SetLabel("2 ms per reply, 6 new samples per sensor");
  bench::rm_tree(scratch);
}
BENCHMARK(BM_ScheduledCollection)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
