#include "platform/udp.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

long long ms_since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

uint32_t loopback() {
  uint32_t a = 0;
  EXPECT_TRUE(dotted_ipv4("127.0.0.1", &a));
  return a;
}

// A socket on 127.0.0.1, any port, and a second one to send to it from.
struct Pair {
  UdpSocket sock, sender;
  Pair() {
    UdpStep step;
    int error = 0;
    EXPECT_TRUE(sock.open(Peer{loopback(), 0}, &step, &error)) << error;
    EXPECT_TRUE(sender.open(Peer{loopback(), 0}, &step, &error)) << error;
  }
  void send(const std::string& text, int delay_ms = 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    int error = 0;
    EXPECT_EQ(sender.send_to(reinterpret_cast<const uint8_t*>(text.data()), text.size(),
                             Peer{loopback(), sock.bound_port()}, &error),
              static_cast<long>(text.size()));
  }
};

TEST(Udp, ReceiveTimesOutThenWakesForADatagram) {
  Pair p;
  uint8_t buf[16];
  auto start = Clock::now();
  EXPECT_EQ(p.sock.receive(buf, sizeof buf, 120).what, UdpWhat::kNothing);
  EXPECT_GE(ms_since(start), 115);
  EXPECT_EQ(p.sock.read_queued(buf, sizeof buf).what, UdpWhat::kNothing);

  std::thread sender([&] { p.send("ping", 50); });
  start = Clock::now();
  const UdpReceived r = p.sock.receive(buf, sizeof buf, 2000);
  const long long took = ms_since(start);
  sender.join();
  ASSERT_EQ(r.what, UdpWhat::kDatagram);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), r.size), "ping");
  EXPECT_EQ(r.from.addr, loopback());
  EXPECT_EQ(r.from.port, p.sender.bound_port());
  EXPECT_GE(took, 40);
  EXPECT_LT(took, 1000);
  EXPECT_EQ(p.sock.read_queued(buf, sizeof buf).what, UdpWhat::kNothing);
}

// A datagram larger than the buffer is told as such and fails only itself.
TEST(Udp, TooLargeIsToldApartAndDrainEmptiesTheQueue) {
  Pair p;
  p.send("0123456789abcdef");
  p.send("ok");
  uint8_t buf[8];
  UdpReceived r = p.sock.receive(buf, sizeof buf, 1000);
  ASSERT_EQ(r.what, UdpWhat::kTooLarge);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), sizeof buf), "01234567");
  r = p.sock.receive(buf, sizeof buf, 1000);
  ASSERT_EQ(r.what, UdpWhat::kDatagram);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), r.size), "ok");

  for (const char* text : {"a", "0123456789abcdef", "b"}) p.send(text);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  p.sock.drain(buf, sizeof buf, 10);
  EXPECT_EQ(p.sock.read_queued(buf, sizeof buf).what, UdpWhat::kNothing);
}

TEST(Udp, WaitOnSeveralTellsWhichAreReadable) {
  Pair a, b;
  UdpSocket* both[] = {&a.sock, &b.sock};
  bool readable[2] = {true, true};
  int error = 0;
  auto start = Clock::now();
  EXPECT_EQ(udp_wait(both, 2, 60, readable, &error), 0);
  EXPECT_GE(ms_since(start), 55);
  EXPECT_FALSE(readable[0] || readable[1]);

  b.send("x");
  EXPECT_EQ(udp_wait(both, 2, 1000, readable, &error), 1);
  EXPECT_FALSE(readable[0]);
  EXPECT_TRUE(readable[1]);

  UdpSocket* many[kUdpWaitMax + 1];
  for (UdpSocket*& s : many) s = &a.sock;
  bool flags[kUdpWaitMax + 1];
  EXPECT_EQ(udp_wait(many, kUdpWaitMax + 1, 0, flags, &error), -1);
  EXPECT_EQ(error, 10022);

  // A socket closed behind the seam's back.
  close(static_cast<int>(a.sock.native_handle()));
  EXPECT_EQ(udp_wait(both, 1, 100, readable, &error), -1);
  EXPECT_EQ(error, 10009);
  a.sock.close();
}

TEST(Udp, OpenTellsTheStepThatFailed) {
  Pair p;
  UdpSocket again;
  UdpStep step = UdpStep::kCreate;
  int error = 0;
  EXPECT_FALSE(again.open(Peer{loopback(), p.sock.bound_port()}, &step, &error));
  EXPECT_EQ(step, UdpStep::kBind);
  EXPECT_EQ(error, 10048);  // in use
  EXPECT_FALSE(again.is_open());
}

TEST(Udp, ErrnoMapsToWinsockNumbers) {
  const struct {
    int err, wsa;
  } cases[] = {
      {0, 0},
      {EAGAIN, 10035},
      {EWOULDBLOCK, 10035},
      {ECONNREFUSED, 10061},
      {ECONNRESET, 10054},
      {EMSGSIZE, 10040},
      {EBADF, 10009},
      {ENOTSOCK, 10038},
      {EMFILE, 10024},
      {EADDRINUSE, 10048},
      {ENETUNREACH, 10051},
      {EHOSTUNREACH, 10065},
      {ENOMEM, 10055},
      {EDEADLK, 10107},  // 35: must not read as "would block"
      {ENOENT, 10107},
  };
  for (const auto& c : cases) EXPECT_EQ(udp_error_number(c.err), c.wsa) << c.err;
}

}  // namespace

// Our own address text, read and written as the system's calls do.
TEST(Udp, AddressTextAsTheSystemHasIt) {
  for (const char* text :
       {"127.0.0.1", "0.0.0.0", "255.255.255.255", "10.20.30.40", "256.0.0.1", "1.2.3", "1.2.3.4.",
        "1.2.3.4.5", "01.2.3.4", "1.2.3.00", "1..2.3", " 1.2.3.4", "1.2.3.4 ", "0x7f.0.0.1",
        "1.2.3.-4", "", "1.2.3.1000", "localhost"}) {
    in_addr want{};
    const bool system_reads = inet_pton(AF_INET, text, &want) == 1;
    uint32_t got = 0;
    EXPECT_EQ(dotted_ipv4(text, &got), system_reads) << text;
    if (!system_reads) continue;
    EXPECT_EQ(got, want.s_addr) << text;
    char back[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &want, back, sizeof back);
    EXPECT_EQ(peer_addr_text(got), back) << text;
  }
}
