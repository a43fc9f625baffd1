#include "platform/net-posix.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

long long ms_since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A UDP socket on 127.0.0.1, tied to a fresh event.
struct TiedSocket {
  SOCKET sock = socket(AF_INET, SOCK_DGRAM, 0);
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  sockaddr_in addr{};

  TiedSocket() {
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(sock, reinterpret_cast<sockaddr*>(&addr), &len);
    EXPECT_EQ(WSAEventSelect(sock, event, FD_READ), 0);
  }
  ~TiedSocket() {
    closesocket(sock);
    WSACloseEvent(event);
  }
  DWORD wait(DWORD ms) { return WaitForMultipleObjects(1, &event, TRUE, ms); }
  void send_to_self(int delay_ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sendto(fd, "ping", 4, 0, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    close(fd);
  }
};

TEST(Net, StartupReportsVersionOneOne) {
  WSADATA data;
  ASSERT_EQ(WSAStartup(0x0101, &data), 0);
  EXPECT_EQ(data.wVersion, 0x0101);
  EXPECT_GE(data.wHighVersion, 0x0101);
  EXPECT_GT(data.iMaxUdpDg, 1500);
  EXPECT_EQ(WSACleanup(), 0);
  EXPECT_EQ(WSAStartup(0x0000, &data), WSAVERNOTSUPPORTED);
}

TEST(Net, EmptyNonBlockingSocketWouldBlock) {
  TiedSocket t;
  char buf[16];
  errno = 0;
  EXPECT_EQ(recvfrom(t.sock, buf, sizeof buf, 0, nullptr, nullptr), -1);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
}

TEST(Net, WaitTimesOutThenWakesForADatagram) {
  TiedSocket t;
  auto start = Clock::now();
  EXPECT_EQ(t.wait(120), WAIT_TIMEOUT);
  EXPECT_GE(ms_since(start), 115);
  EXPECT_EQ(t.wait(0), WAIT_TIMEOUT);

  std::thread sender([&] { t.send_to_self(50); });
  start = Clock::now();
  EXPECT_EQ(t.wait(2000), WAIT_OBJECT_0);
  const long long took = ms_since(start);
  sender.join();
  EXPECT_GE(took, 40);
  EXPECT_LT(took, 1000);

  // Readable until the datagram is read.
  EXPECT_EQ(t.wait(0), WAIT_OBJECT_0);
  char buf[16];
  EXPECT_EQ(recvfrom(t.sock, buf, sizeof buf, 0, nullptr, nullptr), 4);
  EXPECT_EQ(t.wait(30), WAIT_TIMEOUT);
}

TEST(Net, HandSetSignalWakesOnceWithoutData) {
  TiedSocket t;
  ASSERT_EQ(SetEvent(t.event), TRUE);
  EXPECT_EQ(t.wait(1000), WAIT_OBJECT_0);
  EXPECT_EQ(t.wait(20), WAIT_TIMEOUT);  // auto-reset

  HANDLE untied = CreateEventA(nullptr, FALSE, TRUE, nullptr);
  EXPECT_EQ(WaitForMultipleObjects(1, &untied, TRUE, 0), WAIT_OBJECT_0);  // created signalled
  auto start = Clock::now();
  EXPECT_EQ(WaitForMultipleObjects(1, &untied, TRUE, 40), WAIT_TIMEOUT);
  EXPECT_GE(ms_since(start), 35);
  WSACloseEvent(untied);
}

TEST(Net, BadWaitsFail) {
  HANDLE none = nullptr;
  TiedSocket t;
  HANDLE two[2] = {t.event, t.event};
  EXPECT_EQ(WaitForMultipleObjects(1, &none, TRUE, 0), WAIT_FAILED);
  EXPECT_EQ(WaitForMultipleObjects(2, two, TRUE, 0), WAIT_FAILED);
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);

  // A socket closed behind the event's back.
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ASSERT_EQ(WSAEventSelect(fd, e, FD_READ), 0);
  close(fd);
  EXPECT_EQ(WaitForMultipleObjects(1, &e, TRUE, 100), WAIT_FAILED);
  EXPECT_EQ(WSAGetLastError(), WSAEBADF);
  WSACloseEvent(e);

  EXPECT_EQ(WSAEventSelect(-1, t.event, FD_READ), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEBADF);
}

TEST(Net, ErrnoMapsToWinsockNumbers) {
  const struct {
    int err, wsa;
  } cases[] = {
      {0, 0},
      {EAGAIN, WSAEWOULDBLOCK},
      {EWOULDBLOCK, WSAEWOULDBLOCK},
      {ECONNREFUSED, WSAECONNREFUSED},
      {ECONNRESET, WSAECONNRESET},
      {EMSGSIZE, WSAEMSGSIZE},
      {EBADF, WSAEBADF},
      {ENOTSOCK, WSAENOTSOCK},
      {EMFILE, WSAEMFILE},
      {EADDRINUSE, WSAEADDRINUSE},
      {ENETUNREACH, WSAENETUNREACH},
      {EHOSTUNREACH, WSAEHOSTUNREACH},
      {ENOMEM, WSAENOBUFS},
      {EDEADLK, WSASYSCALLFAILURE},  // 35: must not read as "would block"
      {ENOENT, WSASYSCALLFAILURE},
  };
  for (const auto& c : cases) {
    errno = c.err;
    EXPECT_EQ(WSAGetLastError(), c.wsa) << c.err;
  }
}

}  // namespace
