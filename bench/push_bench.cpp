// Pushing a full box (16 sensors x 32767 samples) to real stores on
// loopback, each started here with a fresh data folder:
//   Walk:    the peak resident memory (GNU time) of `logfetch -f site.toml`
//            downloading the full box from boxsim (127.0.10.3:811, root)
//            and pushing it to InfluxDB, against the same site without a
//            store;
//   Store/0: InfluxDB 1.x, line protocol to /write (127.0.10.1:8086);
//   Store/1: Prometheus' remote-write receiver with an out-of-order window
//            of 400 days, so that none of the box's weeks is refused
//            (127.0.10.2:9090).
// The store output's finish() (its batcher and HTTP client, 105 bodies of
// at most 5,000 samples) is timed against one curl process posting the
// same bodies, with the same headers, over one kept-alive connection. Each
// run pushes under a box name of its own, so every push makes new series.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/stores.h"
#include "bench/bench_box.h"
#include "bench/bench_sensor.h"
#include "report/sink.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kInfluxAddr = "127.0.10.1";
constexpr const char* kPromAddr = "127.0.10.2";
constexpr const char* kBoxAddr = "127.0.10.3";
constexpr const char* kInfluxUrl = "http://127.0.10.1:8086";
constexpr const char* kPromUrl = "http://127.0.10.2:9090";
constexpr const char* kTime = "/usr/bin/time";
constexpr int kFullSamples = 32767;
constexpr long long kBoxSamples = 16LL * kFullSamples;

// The path of a program on PATH, "" when there is none.
std::string which(const std::string& name) {
  const std::string cmd = "command -v " + name + " 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return "";
  char buf[512] = {};
  std::string out = std::fgets(buf, sizeof buf, p) != nullptr ? buf : "";
  pclose(p);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

// What a command printed on standard output.
std::string output_of(const std::string& cmd) {
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return "";
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

// Waits at most `seconds` for `url` to answer GET with `code`.
bool wait_http(const std::string& url, const std::string& code, int seconds) {
  const std::string cmd = "curl -s -o /dev/null -w '%{http_code}' '" + url + "'";
  for (int i = 0; i < seconds * 10; ++i) {
    if (output_of(cmd) == code) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

// A server started with its output in `log`, ended with the object.
class Server {
 public:
  Server(const std::vector<std::string>& args, const std::string& log) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& a : copy) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Server() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status;
    waitpid(pid_, &status, 0);
  }
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;
  bool started() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};

// influxd and prometheus on their addresses, each in a fresh folder under
// one scratch folder, for the whole process; "" from problem() when both
// answer.
struct Stores {
  std::string scratch, problem, curl;
  std::unique_ptr<Server> influx, prom;

  Stores() {
    // The stores are on loopback: no proxy may stand between, for libcurl
    // here or for curl.
    for (const char* v : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
      unsetenv(v);
    curl = which("curl");
    const std::string influxd = which("influxd"), prometheus = which("prometheus");
    if (curl.empty() || influxd.empty() || prometheus.empty()) {
      problem = "curl, influxd or prometheus is missing";
      return;
    }
    scratch = bench::make_scratch_dir();
    const std::string idir = scratch + "/influx", pdir = scratch + "/prom";
    mkdir(idir.c_str(), 0755);
    mkdir(pdir.c_str(), 0755);
    std::ofstream(idir + "/influxdb.conf")
        << "reporting-disabled = true\nbind-address = \"" << kInfluxAddr << ":8088\"\n"
        << "[meta]\n  dir = \"" << idir << "/meta\"\n"
        << "[data]\n  dir = \"" << idir << "/data\"\n  wal-dir = \"" << idir << "/wal\"\n"
        << "  query-log-enabled = false\n"
        << "[http]\n  bind-address = \"" << kInfluxAddr << ":8086\"\n  log-enabled = false\n"
        << "[monitor]\n  store-enabled = false\n";
    std::ofstream(pdir + "/prometheus.yml")
        << "scrape_configs: []\nstorage:\n  tsdb:\n    out_of_order_time_window: 400d\n";
    influx.reset(new Server({influxd, "-config", idir + "/influxdb.conf"}, idir + "/log"));
    prom.reset(new Server({prometheus, "--config.file=" + pdir + "/prometheus.yml",
                           "--storage.tsdb.path=" + pdir + "/data",
                           "--web.listen-address=" + std::string(kPromAddr) + ":9090",
                           "--web.enable-remote-write-receiver"},
                          pdir + "/log"));
    if (!wait_http(std::string(kInfluxUrl) + "/ping", "204", 20)) {
      problem = "influxd did not answer on 127.0.10.1:8086 (loopback up?)";
      return;
    }
    if (!wait_http(std::string(kPromUrl) + "/-/ready", "200", 30)) {
      problem = "prometheus did not get ready on 127.0.10.2:9090";
      return;
    }
    for (const char* db : {"bench", "walk"})
      output_of("curl -s -XPOST '" + std::string(kInfluxUrl) +
                "/query' --data-urlencode 'q=CREATE DATABASE " + db + "'");
  }
  ~Stores() {
    influx.reset();
    prom.reset();
    if (!scratch.empty()) bench::rm_tree(scratch);
  }
};

Stores& stores() {
  static Stores s;
  return s;
}

// The full box as its walk hands it to the outputs: 8 ports, a temperature
// in slot 1 and a 4-20 mA sensor in slot 2.
const std::vector<bench::BenchSensor>& full_box() {
  static const std::vector<bench::BenchSensor> box = [] {
    std::vector<bench::BenchSensor> b;
    for (uint8_t port = 0; port < 8; ++port) {
      b.emplace_back(port, 1, 0);
      b.emplace_back(port, 2, 1);
    }
    return b;
  }();
  return box;
}

site_store store_of(bool remote_write) {
  site_store s;
  s.name = remote_write ? "prom" : "influx";
  s.kind = remote_write ? store_kind::remote_write : store_kind::influx;
  s.url = remote_write ? std::string(kPromUrl) + "/api/v1/write"
                       : std::string(kInfluxUrl) + "/write?db=bench&precision=s";
  return s;
}

// Hands the full box to `push`.
void add_box(store_push& push) {
  for (const bench::BenchSensor& s : full_box()) {
    reading r;
    r.address = kBoxAddr;
    r.status = &s.s;
    r.slot = s.slot;
    r.samples = s.samples.data();
    r.count = kFullSamples;
    r.sample_size = 4;
    push.add(r);
  }
}

struct QuietSink : message_sink {
  bool good() const override { return true; }
  std::string text;

 protected:
  void write_out(const char* s, size_t n) override { text.append(s, n); }
  void write_err(const char* s, size_t n) override { text.append(s, n); }
};

// The seconds finish() takes to push the box under name `box`; -1 when not
// every sample was acknowledged (*said: what the output said).
double time_finish(bool remote_write, const std::string& box, std::string* said) {
  QuietSink sink;
  output_context ctx;
  ctx.sink = &sink;
  ctx.box = box;
  auto push = store_output(store_of(remote_write), clock_type::now() + std::chrono::minutes(5), ctx,
                           kBoxAddr);
  add_box(*push);
  const auto t0 = Clock::now();
  const bool ok = push->finish();
  const double s = std::chrono::duration<double>(Clock::now() - t0).count();
  *said = sink.text;
  return ok && push->sent() == kBoxSamples ? s : -1;
}

// The bodies finish() would post for box name `box`, written to files in
// `dir`, and a curl config posting them in order with the same headers;
// the number of bodies.
int write_bodies(bool remote_write, const std::string& box, const std::string& dir,
                 const std::string& config) {
  std::vector<std::string> files;
  std::vector<HttpHeader> headers;
  QuietSink sink;
  output_context ctx;
  ctx.sink = &sink;
  ctx.box = box;
  store_push push(
      store_of(remote_write),
      [&](const HttpRequest& r) {
        const std::string name = dir + "/body" + std::to_string(files.size());
        std::ofstream(name, std::ios::binary).write(r.body.data(), static_cast<std::streamsize>(r.body.size()));
        files.push_back(name);
        headers = r.headers;
        HttpResponse ok;
        ok.status = 204;
        return ok;
      },
      clock_type::now() + std::chrono::minutes(5), ctx, kBoxAddr);
  add_box(push);
  if (!push.finish()) return 0;
  std::ofstream f(config);
  f << "silent\n";
  for (size_t i = 0; i < files.size(); ++i) {
    if (i > 0) f << "next\n";
    f << "url = \"" << store_of(remote_write).url << "\"\n"
      << "data-binary = \"@" << files[i] << "\"\n"
      << "header = \"Expect:\"\nuser-agent = \"logfetch\"\n"
      << "output = \"/dev/null\"\nwrite-out = \"%{http_code}\\n\"\n";
    for (const HttpHeader& h : headers) f << "header = \"" << h.name << ": " << h.value << "\"\n";
  }
  return static_cast<int>(files.size());
}

// The seconds one curl takes to post the bodies of `config`; -1 unless each
// of the `bodies` answers was 2xx.
double time_curl(const std::string& config, int bodies) {
  const auto t0 = Clock::now();
  const std::string codes = output_of("'" + stores().curl + "' -K '" + config + "'");
  const double s = std::chrono::duration<double>(Clock::now() - t0).count();
  int good = 0;
  for (size_t at = 0; at < codes.size(); ++at)
    if (codes[at] == '2' && (at == 0 || codes[at - 1] == '\n')) ++good;
  return good == bodies ? s : -1;
}

using Walk = bench::ProgramRun;

// One `logfetch -f SITE -o` in `dir`, its peak resident memory as GNU time
// reports it: the rusage of a child spawned by this (large) process would
// count this process's memory too, since it is taken over at exec.
Walk timed_walk(const std::string& dir, const std::string& site) {
  const std::string rss = dir + "/rss";
  Walk run = bench::run_in(dir, kTime, {"-f", "%M", "-o", rss, LF_LOGFETCH_PATH, "-f", site, "-o"});
  std::ifstream f(rss);
  if (!(f >> run.peak_rss_kib)) run.peak_rss_kib = -1;
  return run;
}

// First, before the box of the store benchmarks fills this process.
void BM_PushingWalk(benchmark::State& state) {
  Stores& st = stores();
  if (!st.problem.empty()) return state.SkipWithError(st.problem.c_str());
  if (access(kTime, X_OK) != 0) return state.SkipWithError("no /usr/bin/time (Debian: time)");
  const std::string dir = bench::make_scratch_dir();
  bench::BoxsimProcess box(kBoxAddr, bench::write_box_file(dir, kFullSamples));
  if (!box.ready()) {
    bench::rm_tree(dir);
    return state.SkipWithError("boxsim did not start on 127.0.10.3:811 (root needed)");
  }
  const std::string box_table = std::string("[[box]]\nname = \"full\"\naddress = \"") + kBoxAddr +
                                "\"\npassword = \"" + bench::kPassword + "\"\n";
  std::ofstream(dir + "/push.toml") << "[[store]]\nkind = \"influx\"\nurl = \"" << kInfluxUrl
                                    << "/write?db=walk&precision=s\"\n\n"
                                    << box_table;
  std::ofstream(dir + "/plain.toml") << box_table;
  chmod((dir + "/push.toml").c_str(), 0600);
  chmod((dir + "/plain.toml").c_str(), 0600);
  double best_push = std::numeric_limits<double>::infinity(), best_plain = best_push;
  long rss_push = 0, rss_plain = 0;
  for (auto _ : state) {
    const Walk push = timed_walk(dir, "push.toml");
    const Walk plain = timed_walk(dir, "plain.toml");
    if (push.status != 0 || plain.status != 0 || push.peak_rss_kib <= 0 ||
        plain.peak_rss_kib <= 0 || !bench::reports_complete(dir, kBoxAddr, kFullSamples)) {
      bench::rm_tree(dir);
      return state.SkipWithError("a site run failed");
    }
    best_push = std::min(best_push, push.seconds);
    best_plain = std::min(best_plain, plain.seconds);
    rss_push = std::max(rss_push, push.peak_rss_kib);
    rss_plain = std::max(rss_plain, plain.peak_rss_kib);
    state.SetIterationTime(push.seconds);
  }
  bench::rm_tree(dir);
  state.counters["push_run_ms"] = best_push * 1e3;
  state.counters["plain_run_ms"] = best_plain * 1e3;
  state.counters["push_rss_mib"] = rss_push / 1024.0;
  state.counters["plain_rss_mib"] = rss_plain / 1024.0;
  state.SetLabel("logfetch -f, a full box, one [[store]] (InfluxDB) against none; target rss <= 16 MiB");
}
BENCHMARK(BM_PushingWalk)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);

// Arg 0: InfluxDB line protocol; 1: Prometheus remote write.
void BM_Store(benchmark::State& state) {
  Stores& st = stores();
  if (!st.problem.empty()) return state.SkipWithError(st.problem.c_str());
  const bool rw = state.range(0) == 1;
  const std::string dir = bench::make_scratch_dir();
  double best_push = std::numeric_limits<double>::infinity(), best_curl = best_push;
  int bodies = 0, run = 0;
  for (auto _ : state) {
    ++run;
    const std::string tag = std::string(rw ? "rw" : "lp") + std::to_string(run);
    bodies = write_bodies(rw, "curl-" + tag, dir, dir + "/curl.cfg");
    std::string said;
    // Alternating which goes first, so neither always meets a store that
    // has just taken 524,272 samples.
    double push = -1, curl = -1;
    if (run % 2 == 1) {
      push = time_finish(rw, "push-" + tag, &said);
      curl = time_curl(dir + "/curl.cfg", bodies);
    } else {
      curl = time_curl(dir + "/curl.cfg", bodies);
      push = time_finish(rw, "push-" + tag, &said);
    }
    if (bodies == 0 || push < 0 || curl < 0) {
      bench::rm_tree(dir);
      const std::string why = "a push was not acknowledged whole: " + said;
      return state.SkipWithError(why.c_str());
    }
    best_push = std::min(best_push, push);
    best_curl = std::min(best_curl, curl);
    state.SetIterationTime(push);
  }
  bench::rm_tree(dir);
  state.counters["push_ms"] = best_push * 1e3;
  state.counters["curl_ms"] = best_curl * 1e3;
  state.counters["ratio"] = best_push / best_curl;
  state.counters["bodies"] = bodies;
  state.SetLabel(std::string(rw ? "Prometheus remote write" : "InfluxDB line protocol") +
                 ", 16 x 32767 samples; target ratio <= 1.5");
}
BENCHMARK(BM_Store)
    ->ArgName("remote_write")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(4);


}  // namespace

BENCHMARK_MAIN();
