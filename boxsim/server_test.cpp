#include "boxsim/server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "boxsim/box_file.h"
#include "device/messages.h"

namespace {

// Its own loopback address, apart from those of the end-to-end tests.
const char* const kAddr = "127.0.3.250";

struct Received {
  std::vector<uint8_t> bytes;
  uint16_t from_port = 0;
};

class Client {
 public:
  Client() {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  ~Client() { close(fd_); }
  uint16_t port() const {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
  }
  void send(const std::vector<uint8_t>& b, uint16_t to_port, const char* to_addr = kAddr) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(to_port);
    inet_pton(AF_INET, to_addr, &to.sin_addr);
    sendto(fd_, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  // Everything that arrives within `ms`.
  std::vector<Received> receive(int ms) {
    std::vector<Received> out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      const int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            end - std::chrono::steady_clock::now())
                                            .count());
      pollfd p{fd_, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, left) <= 0) return out;
      uint8_t buf[2048];
      sockaddr_in from{};
      socklen_t len = sizeof from;
      const ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n >= 0) out.push_back({std::vector<uint8_t>(buf, buf + n), ntohs(from.sin_port)});
    }
  }

 private:
  int fd_ = -1;
};

std::vector<uint8_t> status_request(uint8_t port) {
  std::vector<uint8_t> r(kRequestSize, 0);
  char pw[kPasswordSize] = {'p', 'w'};
  put_status_request(r.data(), port, 0, pw);
  return r;
}

// Runs the server on a thread; the ready line tells the bound port.
class Running {
 public:
  Running(const std::string& box_text, ServerOptions options) {
    std::string error;
    EXPECT_TRUE(parse_box(box_text, "t.box", &box_, &error)) << error;
    ready_ = std::tmpfile();
    options.addr = kAddr;
    options.port = 0;
    thread_ = std::thread([this, options] {
      status_ = run_server(box_, options, ready_, [this] { return stop_.load(); });
      done_ = true;
    });
    // Wait for the ready line.
    for (int i = 0; i < 200 && port_ == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      char line[128] = {};
      std::rewind(ready_);
      if (std::fgets(line, sizeof line, ready_)) {
        line_ = line;
        const char* colon = std::strrchr(line, ':');
        if (colon) port_ = static_cast<uint16_t>(std::atoi(colon + 1));
      }
    }
  }
  ~Running() {
    stop_ = true;
    thread_.join();
    std::fclose(ready_);
  }
  uint16_t port() const { return port_; }
  const std::string& ready_line() const { return line_; }
  bool done() const { return done_; }
  int status() const { return status_; }

 private:
  Box box_;
  std::FILE* ready_ = nullptr;
  std::atomic<bool> stop_{false}, done_{false};
  int status_ = -1;
  uint16_t port_ = 0;
  std::string line_;
  std::thread thread_;
};

}  // namespace

TEST(Server, AnswersAndLogsEachDatagram) {
  const std::string log_path = ::testing::TempDir() + "boxsim_server_test.log";
  ServerOptions options;
  options.log_path = log_path;
  Running box("password pw\n[port 1 slot 1]\nsamples 1 2 3\n", options);
  ASSERT_NE(box.port(), 0) << "no ready line";
  EXPECT_EQ(box.ready_line(),
            std::string("boxsim: serving on ") + kAddr + ":" + std::to_string(box.port()) + "\n");

  Client client;
  client.send(status_request(0), box.port());
  client.send({0xAB, 0xCD}, box.port());  // logged, not answered
  const auto got = client.receive(300);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].bytes.size(), static_cast<size_t>(kStatusReplySize));
  EXPECT_EQ(got[0].bytes[0], kStatusReplyCode);
  EXPECT_EQ(got[0].from_port, box.port());

  std::ifstream log(log_path);
  std::string time, from, hex;
  const std::string sender = "127.0.0.1:" + std::to_string(client.port());
  ASSERT_TRUE(log >> time >> from >> hex);
  EXPECT_EQ(from, sender);
  EXPECT_EQ(hex, "020000000000007077" + std::string(30, '0'));
  ASSERT_TRUE(log >> time >> from >> hex);
  EXPECT_EQ(from, sender);
  EXPECT_EQ(hex, "abcd");
  EXPECT_FALSE(log >> time);
  std::remove(log_path.c_str());
}

TEST(Server, LateAndDoubledRepliesKeepTheirTimes) {
  Running box("[port 1 slot 1]\nsamples 1\nlate 150\ntwice 150\n", ServerOptions());
  ASSERT_NE(box.port(), 0);
  Client client;
  const auto start = std::chrono::steady_clock::now();
  client.send(status_request(0), box.port());
  EXPECT_TRUE(client.receive(100).empty()) << "held back";
  const auto got = client.receive(400);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].bytes, got[1].bytes);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
}

TEST(Server, StopsAfterMaxSeconds) {
  ServerOptions options;
  options.max_seconds = 1;
  Running box("", options);
  ASSERT_NE(box.port(), 0);
  for (int i = 0; i < 300 && !box.done(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(box.done());
  EXPECT_EQ(box.status(), 0);
}

TEST(Server, ReportsAnAddressItCannotBind) {
  Box box;
  ServerOptions options;
  options.addr = "192.0.2.1";  // not an address of this host
  options.port = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(run_server(box, options, stdout, [] { return true; }), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "boxsim: cannot bind 192.0.2.1:0: Cannot assign requested address\n");
}

TEST(LogLine, TimeSenderAndHex) {
  const uint8_t bytes[] = {0x02, 0x00, 0xFF};
  EXPECT_EQ(log_line(1.23456, "127.0.0.1", 40000, bytes, 3), "1.235 127.0.0.1:40000 0200ff\n");
}

TEST(Server, LatencyHoldsBackEveryReply) {
  ServerOptions options;
  options.latency_ms = 150;
  Running box("[port 1 slot 1]\nsamples 1\n", options);
  ASSERT_NE(box.port(), 0);
  Client client;
  client.send(status_request(0), box.port());
  EXPECT_TRUE(client.receive(100).empty()) << "held back";
  EXPECT_EQ(client.receive(400).size(), 1u);
}

TEST(Server, SeveralBoxesEachOnItsOwnAddressWithItsOwnLog) {
  const char* const addrs[] = {"127.0.3.251", "127.0.3.252"};
  const std::string log_path = ::testing::TempDir() + "boxsim_servers_test.log";
  std::vector<Box> boxes(2);
  std::vector<ServerOptions> options(2);
  std::string error;
  ASSERT_TRUE(parse_box("system First\n[port 1 slot 1]\nsamples 1\n", "a.box", &boxes[0], &error));
  ASSERT_TRUE(parse_box("system Second\n[port 2 slot 1]\nsamples 1\n", "b.box", &boxes[1], &error));
  for (int i = 0; i < 2; ++i) {
    options[i].addr = addrs[i];
    options[i].port = 0;
    options[i].log_path = log_path + "." + addrs[i];
  }
  std::FILE* ready = std::tmpfile();
  std::atomic<bool> stop{false};
  int status = -1;
  std::thread server(
      [&] { status = run_servers(boxes, options, ready, [&] { return stop.load(); }); });
  std::map<std::string, uint16_t> ports;
  for (int i = 0; i < 200 && ports.size() < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::rewind(ready);
    char line[128];
    while (std::fgets(line, sizeof line, ready)) {
      char addr[64];
      unsigned port = 0;
      if (std::sscanf(line, "boxsim: serving on %63[0-9.]:%u", addr, &port) == 2)
        ports[addr] = static_cast<uint16_t>(port);
    }
  }
  ASSERT_EQ(ports.size(), 2u);

  // Each box answers on its own address, from its own file: port 1 is a
  // sensor on the first only, port 2 on the second only.
  Client client;
  for (int i = 0; i < 2; ++i) {
    for (uint8_t port = 0; port < 2; ++port) {
      client.send(status_request(port), ports[addrs[i]], addrs[i]);
      const auto got = client.receive(300);
      ASSERT_EQ(got.size(), 1u) << addrs[i];
      SensorStatus st{};
      const bool sensor = port == i;
      if (sensor) {
        ASSERT_EQ(got[0].bytes.size(), static_cast<size_t>(kStatusReplySize));
        decode_status(got[0].bytes.data(), &st);
        EXPECT_STREQ(st.systemName, i == 0 ? "First" : "Second");
      } else {
        EXPECT_NE(got[0].bytes[0], kStatusReplyCode) << addrs[i] << " port " << int(port);
      }
    }
  }
  stop = true;
  server.join();
  std::fclose(ready);
  EXPECT_EQ(status, 0);
  for (const char* addr : addrs) {
    std::ifstream log(log_path + "." + addr);
    std::string line;
    int lines = 0;
    while (std::getline(log, line)) ++lines;
    EXPECT_EQ(lines, 2) << addr;
    std::remove((log_path + "." + addr).c_str());
  }
}

TEST(Server, OneBoxThatCannotBindStopsThemAll) {
  std::vector<Box> boxes(2);
  std::vector<ServerOptions> options(2);
  options[0].addr = "127.0.3.253";
  options[0].port = 0;
  options[1].addr = "192.0.2.1";  // not an address of this host
  options[1].port = 0;
  std::FILE* ready = std::tmpfile();
  testing::internal::CaptureStderr();
  EXPECT_EQ(run_servers(boxes, options, ready, [] { return false; }), 1);
  testing::internal::GetCapturedStderr();
  std::fclose(ready);
}
