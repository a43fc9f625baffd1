#include "boxsim/server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <functional>
#include <queue>
#include <vector>

#include "boxsim/responder.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kJunkSourcePort = 812;
constexpr int kPollSliceMs = 100;  // how soon a stop request is noticed

class Socket {
 public:
  Socket() = default;
  ~Socket() {
    if (fd_ >= 0) close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool bind_to(const std::string& addr, uint16_t port, std::string* error) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (inet_pton(AF_INET, addr.c_str(), &a.sin_addr) != 1) {
      *error = "not a dotted IPv4 address: " + addr;
      return false;
    }
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd_ < 0) {
      *error = std::string("socket: ") + std::strerror(errno);
      return false;
    }
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      *error = "cannot bind " + addr + ":" + std::to_string(port) + ": " + std::strerror(errno);
      if (errno == EACCES) *error += " (ports below 1024 need root)";
      return false;
    }
    return true;
  }
  int fd() const { return fd_; }
  uint16_t bound_port() const {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
  }

 private:
  int fd_ = -1;
};

struct Scheduled {
  Clock::time_point due;
  long seq;  // keeps datagrams due at the same moment in order
  Source source;
  std::vector<uint8_t> bytes;
  sockaddr_in to;
  bool operator>(const Scheduled& o) const { return due != o.due ? due > o.due : seq > o.seq; }
};

void send_batch(int fd, std::vector<Scheduled>& batch) {
  std::vector<iovec> iov(batch.size());
  std::vector<mmsghdr> msgs(batch.size());
  for (size_t i = 0; i < batch.size(); ++i) {
    iov[i].iov_base = batch[i].bytes.data();
    iov[i].iov_len = batch[i].bytes.size();
    msgs[i] = mmsghdr{};
    msgs[i].msg_hdr.msg_name = &batch[i].to;
    msgs[i].msg_hdr.msg_namelen = sizeof batch[i].to;
    msgs[i].msg_hdr.msg_iov = &iov[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
  }
  size_t sent = 0;
  while (sent < msgs.size()) {
    const int n = sendmmsg(fd, msgs.data() + sent, static_cast<unsigned>(msgs.size() - sent), 0);
    if (n <= 0) {
      ++sent;  // skip a datagram the system refuses
      continue;
    }
    sent += static_cast<size_t>(n);
  }
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
  Socket main_socket, port812, junk_addr;
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

    // Send what is due. Datagrams due together from one socket go out in
    // one call, so a doubled reply is waiting at the client before it can
    // act on the first copy.
    while (!queue.empty() && queue.top().due <= now) {
      std::vector<Scheduled> batch;
      const Source source = queue.top().source;
      while (!queue.empty() && queue.top().due <= now && queue.top().source == source &&
             batch.size() < 64) {
        batch.push_back(queue.top());
        queue.pop();
      }
      const int fd = source == Source::kPort812    ? port812.fd()
                     : source == Source::kJunkAddr ? junk_addr.fd()
                                                   : main_socket.fd();
      send_batch(fd, batch);
    }

    int wait = kPollSliceMs;
    if (!queue.empty()) wait = std::min(wait, ms_until(queue.top().due, now));
    if (deadline != Clock::time_point::max()) wait = std::min(wait, ms_until(deadline, now));
    pollfd p{main_socket.fd(), POLLIN, 0};
    if (poll(&p, 1, wait) <= 0) continue;

    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    const ssize_t n = recvfrom(main_socket.fd(), buf.data(), buf.size(), 0,
                               reinterpret_cast<sockaddr*>(&from), &from_len);
    if (n < 0) continue;
    now = Clock::now();
    if (log) {
      char addr[INET_ADDRSTRLEN] = "?";
      inet_ntop(AF_INET, &from.sin_addr, addr, sizeof addr);
      const double seconds = std::chrono::duration<double>(now - start).count();
      const std::string line =
          log_line(seconds, addr, ntohs(from.sin_port), buf.data(), static_cast<size_t>(n));
      std::fputs(line.c_str(), log);
      std::fflush(log);
    }
    const int32_t host_now = static_cast<int32_t>(static_cast<uint32_t>(std::time(nullptr)));
    for (Outgoing& o : responder.answer(buf.data(), static_cast<size_t>(n), host_now)) {
      queue.push(Scheduled{now + std::chrono::milliseconds(o.delay_ms + options.latency_ms), seq++,
                           o.source, std::move(o.bytes), from});
    }
  }
  if (log) std::fclose(log);
  return 0;
}
