// The whole walk of a full box (8 ports x 2 slots, 32767 four-byte samples
// each) from boxsim over loopback, reports included, against the floor: the
// same number of requests and replies of the same sizes exchanged one at a
// time by a minimal client and a minimal server. The same minimal client
// against boxsim (box_floor) tells the box's own share from the program's.
// All three alternate in every iteration so that they see the same load of
// the machine; ratios are taken from the best time of each.
//
// Where the two sides of an exchange run decides its cost more than anything
// either side does: on one CPU a request and its reply are two context
// switches, across two CPUs each wake-up is an interrupt to the other CPU.
// So the client (this process) and both servers are placed alike for the
// floor and the walk: all on one CPU (cpus:1), or the servers on a second
// CPU (cpus:2).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "bench/bench_box.h"
#include "device/coding.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSamples = 32767;
constexpr const char* kBoxAddr = "127.0.8.1";
constexpr const char* kFloorAddr = "127.0.8.2";
constexpr uint16_t kFloorPort = 811;

sockaddr_in loopback(const char* addr, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, addr, &a.sin_addr);
  return a;
}

// The floor's server: answers each request at once with a reply of the size
// the box would send (132 bytes for a status request, count x 4 + 23 for a
// data request). Ends after ten idle seconds or ten minutes in all.
[[noreturn]] void serve_floor(int fd) {
  uint8_t req[64];
  uint8_t reply[kMaxChunkBytes + kDataReplyHeaderSize] = {};
  const auto end = Clock::now() + std::chrono::minutes(10);
  while (Clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) break;
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    const ssize_t n =
        recvfrom(fd, req, sizeof req, 0, reinterpret_cast<sockaddr*>(&from), &from_len);
    if (n != kRequestSize) continue;
    size_t len = kStatusReplySize;
    if (req[0] == kDataRequestCode)
      len = std::min<size_t>(
          coding::get_u16_le(req + kReqCount) * bench::kSampleSize + kDataReplyHeaderSize,
          sizeof reply);
    reply[0] = req[0] == kDataRequestCode ? kDataReplyCode : kStatusReplyCode;
    reply[1] = req[1];
    sendto(fd, reply, len, 0, reinterpret_cast<sockaddr*>(&from), from_len);
  }
  _exit(0);
}

pid_t floor_server = -1;

// Forked before the benchmark library starts any thread.
bool start_floor_server() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  const sockaddr_in a = loopback(kFloorAddr, kFloorPort);
  if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    std::perror("floor server: bind 127.0.8.2:811");
    return false;
  }
  floor_server = fork();
  if (floor_server == 0) serve_floor(fd);
  close(fd);
  return floor_server > 0;
}

void stop_floor_server() {
  if (floor_server <= 0) return;
  kill(floor_server, SIGTERM);
  int status;
  waitpid(floor_server, &status, 0);
}

// One walk's worth of exchanges: per sensor a status request, then one data
// request per chunk, each answered before the next is sent.
bool floor_walk(int fd, const char* addr) {
  const sockaddr_in to = loopback(addr, kFloorPort);
  uint8_t req[kRequestSize] = {};
  std::memcpy(req + kReqPassword, bench::kPassword, std::strlen(bench::kPassword));
  uint8_t reply[1500];
  const int chunk = kMaxChunkBytes / bench::kSampleSize;
  auto exchange = [&](size_t want) {
    if (sendto(fd, req, sizeof req, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) !=
        kRequestSize)
      return false;
    return recv(fd, reply, sizeof reply, 0) == static_cast<ssize_t>(want);
  };
  for (int s = 0; s < bench::kSensors; ++s) {
    req[0] = kStatusRequestCode;
    req[1] = static_cast<uint8_t>(s / 2);
    if (!exchange(kStatusReplySize)) return false;
    req[0] = kDataRequestCode;
    for (int done = 0; done < kSamples; done += chunk) {
      const int n = std::min(chunk, kSamples - done);
      coding::put_u16_le(req + kReqCount, static_cast<uint16_t>(n));
      if (!exchange(static_cast<size_t>(n) * bench::kSampleSize + kDataReplyHeaderSize))
        return false;
    }
  }
  return true;
}

struct Fixture {
  std::string dir;
  std::unique_ptr<bench::BoxsimProcess> box;
  int floor_fd = -1;
  std::string error;

  Fixture() : dir(bench::make_scratch_dir()) {
    box.reset(new bench::BoxsimProcess(kBoxAddr, bench::write_box_file(dir, kSamples)));
    if (!box->ready()) error = "boxsim did not start on 127.0.8.1:811 (root needed)";
    floor_fd = socket(AF_INET, SOCK_DGRAM, 0);
    timeval tv{2, 0};
    setsockopt(floor_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (floor_server <= 0) error = "the floor's server did not start (root needed)";
  }
  ~Fixture() {
    close(floor_fd);
    box.reset();
    bench::rm_tree(dir);
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

void BM_Download(benchmark::State& state) {
  const bool local = state.range(0) != 0;
  const int cpus = static_cast<int>(state.range(1));
  Fixture& fx = fixture();
  if (!fx.error.empty()) {
    state.SkipWithError(fx.error.c_str());
    return;
  }
  const int server_cpu = cpus == 1 ? 0 : 1;
  if (!bench::place_on_cpu(0, 0) || !bench::place_on_cpu(floor_server, server_cpu) ||
      !bench::place_on_cpu(fx.box->pid(), server_cpu)) {
    state.SkipWithError("cannot place the processes on the CPUs asked for");
    return;
  }
  if (chdir(fx.dir.c_str()) != 0) {
    state.SkipWithError("cannot enter the scratch folder");
    return;
  }
  getdata conn;
  datafile writer;
  double best_walk = std::numeric_limits<double>::infinity(), best_floor = best_walk,
         best_box = best_walk;
  double all_walk = 0, all_floor = 0;
  for (auto _ : state) {
    // Each walk into an empty folder, as a first download is: emptying the
    // last walk's reports is not the program's work.
    for (const std::string& name : bench::report_names(kBoxAddr)) std::remove(name.c_str());
    const auto t0 = Clock::now();
    const bool floor_ok = floor_walk(fx.floor_fd, kFloorAddr);
    const auto t1 = Clock::now();
    const int status = bench::run_walk(kBoxAddr, local, conn, writer);
    const auto t2 = Clock::now();
    const bool box_ok = floor_walk(fx.floor_fd, kBoxAddr);
    const auto t3 = Clock::now();
    if (!floor_ok || !box_ok || status != 0) {
      state.SkipWithError(status != 0 ? "the walk failed" : "the floor's exchange lost a reply");
      return;
    }
    const double f = seconds(t1 - t0), w = seconds(t2 - t1);
    best_floor = std::min(best_floor, f);
    best_walk = std::min(best_walk, w);
    best_box = std::min(best_box, seconds(t3 - t2));
    all_floor += f;
    all_walk += w;
    state.SetIterationTime(w);
  }
  if (!bench::reports_complete(fx.dir, kBoxAddr, kSamples)) {
    state.SkipWithError("the walk did not write every report in full");
    return;
  }
  state.counters["floor_ms"] = best_floor * 1e3;
  state.counters["walk_ms"] = best_walk * 1e3;
  state.counters["box_floor_ms"] = best_box * 1e3;
  state.counters["ratio"] = best_walk / best_floor;
  state.counters["ratio_box"] = best_walk / best_box;
  state.counters["mean_ratio"] = all_walk / all_floor;
  state.counters["exchanges"] = bench::kSensors * (1 + bench::data_requests(kSamples));
  state.SetLabel(local ? "zone time (-t)" : "UTC");
  bench::place_on_cpu(0, -1);
}
BENCHMARK(BM_Download)
    ->ArgNames({"local", "cpus"})
    ->ArgsProduct({{0, 1}, {1, 2}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(15);

}  // namespace

int main(int argc, char** argv) {
  start_floor_server();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  stop_floor_server();
  return 0;
}
