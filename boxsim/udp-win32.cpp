// Winsock and the console's Ctrl-C. Windows has no call that sends several
// datagrams at once, so replies due together are sent one by one, at once
// after each other. Port 811 needs no special rights here.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>
#include <windows.h>

#include "boxsim/udp.h"

namespace {
volatile LONG stop_flag = 0;

// Ctrl-C and Ctrl-Break ask for a clean end; the handler runs on a thread of
// its own, the server notices the flag within one wait slice.
BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  InterlockedExchange(&stop_flag, 1);
  return TRUE;
}

// Winsock is started before main, for the address checks of the command line
// and the box file as much as for the server.
struct WinsockSession {
  WinsockSession() {
    WSADATA data;
    started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~WinsockSession() {
    if (started) WSACleanup();
  }
  bool started = false;
};
WinsockSession winsock;

std::string error_text(const char* what, int code) {
  return std::string(what) + ": Winsock error " + std::to_string(code);
}

sockaddr_in to_sockaddr(const Peer& p) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = p.addr;
  a.sin_port = htons(p.port);
  return a;
}
}  // namespace

std::string peer_addr_text(uint32_t addr) {
  in_addr a{};
  a.s_addr = addr;
  char text[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

UdpSocket::~UdpSocket() {
  if (handle_ != -1) closesocket(static_cast<SOCKET>(handle_));
}

bool UdpSocket::bind_to(const std::string& addr, uint16_t port, std::string* error) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (inet_pton(AF_INET, addr.c_str(), &a.sin_addr) != 1) {
    *error = "not a dotted IPv4 address: " + addr;
    return false;
  }
  if (!winsock.started) {
    *error = "Winsock could not be started";
    return false;
  }
  const SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s == INVALID_SOCKET) {
    *error = error_text("socket", WSAGetLastError());
    return false;
  }
  handle_ = static_cast<intptr_t>(s);
  // No other program may take over the box's address while it serves.
  BOOL on = TRUE;
  setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    *error = error_text(("cannot bind " + addr + ":" + std::to_string(port)).c_str(),
                        WSAGetLastError());
    return false;
  }
  // A reply to a client that has gone comes back as "port unreachable";
  // Windows would report it on the next receive as a reset. Clients come
  // and go: that is no error of the box's socket.
  BOOL report_resets = FALSE;
  DWORD unused = 0;
  WSAIoctl(s, SIO_UDP_CONNRESET, &report_resets, sizeof report_resets, nullptr, 0, &unused,
           nullptr, nullptr);
  return true;
}

uint16_t UdpSocket::bound_port() const {
  sockaddr_in a{};
  int len = sizeof a;
  getsockname(static_cast<SOCKET>(handle_), reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

long UdpSocket::receive(uint8_t* buf, size_t size, Peer* from, int wait_ms) {
  const SOCKET s = static_cast<SOCKET>(handle_);
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval wait{wait_ms / 1000, (wait_ms % 1000) * 1000};
  if (select(0, &readable, nullptr, nullptr, &wait) <= 0) return -1;
  sockaddr_in a{};
  int len = sizeof a;
  const int n = recvfrom(s, reinterpret_cast<char*>(buf), static_cast<int>(size), 0,
                         reinterpret_cast<sockaddr*>(&a), &len);
  if (n == SOCKET_ERROR) return -1;
  from->addr = a.sin_addr.s_addr;
  from->port = ntohs(a.sin_port);
  return n;
}

void UdpSocket::send_all(const std::vector<Outbound>& datagrams) {
  const SOCKET s = static_cast<SOCKET>(handle_);
  for (const Outbound& d : datagrams) {
    const sockaddr_in to = to_sockaddr(d.to);
    // A refused datagram is skipped, as a lost one would be.
    sendto(s, reinterpret_cast<const char*>(d.data), static_cast<int>(d.size), 0,
           reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }
}

void catch_stop_requests() { SetConsoleCtrlHandler(on_console_event, TRUE); }

bool stop_requested() { return InterlockedCompareExchange(&stop_flag, 0, 0) != 0; }
