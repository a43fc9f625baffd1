#include "boxsim/server.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <functional>
#include <queue>
#include <thread>
#include <vector>

#include "boxsim/responder.h"
#include "platform/udp.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kJunkSourcePort = 812;
constexpr int kPollSliceMs = 100;  // how soon a stop request is noticed

struct Scheduled {
  Clock::time_point due;
  long seq;  // keeps datagrams due at the same moment in order
  Source source;
  std::vector<uint8_t> bytes;
  Peer to;
  bool operator>(const Scheduled& o) const { return due != o.due ? due > o.due : seq > o.seq; }
};

void send_batch(UdpSocket& socket, const std::vector<Scheduled>& batch) {
  std::vector<Outbound> datagrams;
  datagrams.reserve(batch.size());
  for (const Scheduled& s : batch) datagrams.push_back({s.bytes.data(), s.bytes.size(), s.to});
  socket.send_all(datagrams);
}

int ms_until(Clock::time_point t, Clock::time_point now) {
  if (t <= now) return 0;
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(t - now).count() +
                          1);
}

}  // namespace

std::string log_line(double seconds, const std::string& from_addr, uint16_t from_port,
                     const uint8_t* data, size_t len) {
  char head[80];
  std::snprintf(head, sizeof head, "%.3f %s:%u ", seconds, from_addr.c_str(),
                static_cast<unsigned>(from_port));
  std::string line = head;
  static const char digits[] = "0123456789abcdef";
  for (size_t i = 0; i < len; ++i) {
    line += digits[data[i] >> 4];
    line += digits[data[i] & 15];
  }
  line += '\n';
  return line;
}

int run_server(const Box& box, const ServerOptions& options, std::FILE* ready,
               const std::function<bool()>& should_stop) {
  std::string error;
  UdpSocket main_socket, port812, junk_addr;
  if (!main_socket.bind_to(options.addr, options.port, &error)) {
    std::fprintf(stderr, "boxsim: %s\n", error.c_str());
    return 1;
  }
  const uint16_t port = main_socket.bound_port();
  // The junk sources exist only when a fault needs them.
  if (box.uses_junk(kJunkFrom812) && !port812.bind_to(options.addr, kJunkSourcePort, &error)) {
    std::fprintf(stderr, "boxsim: %s\n", error.c_str());
    return 1;
  }
  if (box.uses_junk(kJunkFromAddr)) {
    if (box.junk_addr.empty()) {
      std::fprintf(stderr, "boxsim: junk from_addr needs a second address (--junk-addr)\n");
      return 1;
    }
    if (!junk_addr.bind_to(box.junk_addr, port, &error)) {
      std::fprintf(stderr, "boxsim: %s\n", error.c_str());
      return 1;
    }
  }
  std::FILE* log = nullptr;
  if (!options.log_path.empty()) {
    log = std::fopen(options.log_path.c_str(), "w");
    if (!log) {
      std::fprintf(stderr, "boxsim: cannot open log %s: %s\n", options.log_path.c_str(),
                   std::strerror(errno));
      return 1;
    }
  }

  std::fprintf(ready, "boxsim: serving on %s:%u\n", options.addr.c_str(),
               static_cast<unsigned>(port));
  std::fflush(ready);

  Responder responder(box);
  std::priority_queue<Scheduled, std::vector<Scheduled>, std::greater<Scheduled>> queue;
  long seq = 0;
  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline = options.max_seconds > 0
                                         ? start + std::chrono::seconds(options.max_seconds)
                                         : Clock::time_point::max();
  std::vector<uint8_t> buf(65536);

  while (!should_stop()) {
    Clock::time_point now = Clock::now();
    if (now >= deadline) break;

    // Send what is due. Datagrams due together from one socket are sent
    // together, so a doubled reply is waiting at the client before it can
    // act on the first copy.
    while (!queue.empty() && queue.top().due <= now) {
      std::vector<Scheduled> batch;
      const Source source = queue.top().source;
      while (!queue.empty() && queue.top().due <= now && queue.top().source == source &&
             batch.size() < 64) {
        batch.push_back(queue.top());
        queue.pop();
      }
      UdpSocket& socket = source == Source::kPort812    ? port812
                          : source == Source::kJunkAddr ? junk_addr
                                                        : main_socket;
      send_batch(socket, batch);
    }

    int wait = kPollSliceMs;
    if (!queue.empty()) wait = std::min(wait, ms_until(queue.top().due, now));
    if (deadline != Clock::time_point::max()) wait = std::min(wait, ms_until(deadline, now));
    // Waited for first: requests mostly come while the box is idle.
    UdpSocket* const waited = &main_socket;
    bool readable = false;
    int error = 0;
    if (udp_wait(&waited, 1, wait, &readable, &error) <= 0) continue;
    const UdpReceived got = main_socket.read_queued(buf.data(), buf.size());
    if (got.what != UdpWhat::kDatagram) continue;
    const Peer from = got.from;
    const size_t n = got.size;
    now = Clock::now();
    if (log) {
      const double seconds = std::chrono::duration<double>(now - start).count();
      const std::string line =
          log_line(seconds, peer_addr_text(from.addr), from.port, buf.data(), n);
      std::fputs(line.c_str(), log);
      std::fflush(log);
    }
    const int32_t host_now = static_cast<int32_t>(static_cast<uint32_t>(std::time(nullptr)));
    for (Outgoing& o : responder.answer(buf.data(), n, host_now)) {
      queue.push(Scheduled{now + std::chrono::milliseconds(o.delay_ms + options.latency_ms), seq++,
                           o.source, std::move(o.bytes), from});
    }
  }
  if (log) std::fclose(log);
  return 0;
}

int run_servers(const std::vector<Box>& boxes, const std::vector<ServerOptions>& options,
                std::FILE* ready, const std::function<bool()>& should_stop) {
  std::atomic<bool> failed{false};
  std::vector<int> status(boxes.size(), 0);
  std::vector<std::thread> threads;
  threads.reserve(boxes.size());
  for (size_t i = 0; i < boxes.size(); ++i) {
    threads.emplace_back([&, i] {
      status[i] =
          run_server(boxes[i], options[i], ready, [&] { return failed.load() || should_stop(); });
      if (status[i] != 0) failed = true;
    });
  }
  for (std::thread& t : threads) t.join();
  int worst = 0;
  for (int s : status) worst = std::max(worst, s);
  return worst;
}
