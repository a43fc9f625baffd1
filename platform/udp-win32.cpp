// Winsock, Windows events and the console's Ctrl-C. A socket opened by
// open() is tied to its object's auto-reset event for read events, which
// also makes it non-blocking, and waits are waits on those events; a
// server's socket (bind_to) stays blocking and is waited on with select().
// Windows has no call that sends several datagrams at once, so replies due
// together are sent one by one, at once after each other. Port 811 needs no
// special rights here.
#include <mswsock.h>
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <atomic>
#include <chrono>

#include "platform/udp.h"

namespace {

volatile LONG stop_flag = 0;
// Socket layers held up now: a server socket needs one.
std::atomic<int> started_layers{0};

// Ctrl-C and Ctrl-Break ask for a clean end; the handler runs on a thread of
// its own, the server notices the flag within one wait slice.
BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  InterlockedExchange(&stop_flag, 1);
  return TRUE;
}

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

SOCKET as_socket(intptr_t handle) { return static_cast<SOCKET>(handle); }

}  // namespace

int udp_error_number(int system_error) { return system_error; }

UdpLayer::UdpLayer() {
  WSADATA data;
  if (WSAStartup(0x0101, &data) != 0) {
    started_ = false;
    error_ = WSAGetLastError();
    return;
  }
  ++started_layers;
}

UdpLayer::~UdpLayer() {
  if (!started_) return;
  --started_layers;
  WSACleanup();
}

UdpSocket::~UdpSocket() {
  close();
  if (event_ != nullptr) WSACloseEvent(static_cast<HANDLE>(event_));
}

void UdpSocket::close() {
  if (handle_ == kNone) return;
  closesocket(as_socket(handle_));
  handle_ = kNone;
}

bool UdpSocket::open(const Peer& local, UdpStep* failed, int* error) {
  close();
  // Auto-reset, not signalled, unnamed: each wait takes the signal it wakes for.
  if (event_ == nullptr) event_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  const SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
  // Taken at once: the call on the invalid socket below would fail with its
  // own error and hide the cause (no handle left, say).
  const int socket_error = s == INVALID_SOCKET ? WSAGetLastError() : 0;
  if (WSAEventSelect(s, static_cast<HANDLE>(event_), FD_READ) == SOCKET_ERROR) {
    *failed = UdpStep::kCreate;
    *error = socket_error != 0 ? socket_error : WSAGetLastError();
    if (s != INVALID_SOCKET) closesocket(s);
    return false;
  }
  handle_ = static_cast<intptr_t>(s);
  const sockaddr_in a = to_sockaddr(local);
  if (bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == SOCKET_ERROR) {
    *failed = UdpStep::kBind;
    *error = WSAGetLastError();
    close();
    return false;
  }
  return true;
}

bool UdpSocket::bind_to(const std::string& addr, uint16_t port, std::string* error) {
  close();
  // A server's socket blocks and is waited on with select().
  if (event_ != nullptr) WSACloseEvent(static_cast<HANDLE>(event_));
  event_ = nullptr;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (inet_pton(AF_INET, addr.c_str(), &a.sin_addr) != 1) {
    *error = "not a dotted IPv4 address: " + addr;
    return false;
  }
  if (started_layers.load() == 0) {
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
    *error =
        error_text(("cannot bind " + addr + ":" + std::to_string(port)).c_str(), WSAGetLastError());
    return false;
  }
  // A reply to a client that has gone comes back as "port unreachable";
  // Windows would report it on the next receive as a reset. Clients come
  // and go: that is no error of the box's socket.
  BOOL report_resets = FALSE;
  DWORD unused = 0;
  WSAIoctl(s, SIO_UDP_CONNRESET, &report_resets, sizeof report_resets, nullptr, 0, &unused, nullptr,
           nullptr);
  return true;
}

uint16_t UdpSocket::bound_port() const {
  sockaddr_in a{};
  int len = sizeof a;
  getsockname(as_socket(handle_), reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

long UdpSocket::send_to(const uint8_t* data, size_t size, const Peer& to, int* error) {
  const sockaddr_in a = to_sockaddr(to);
  const int n = sendto(as_socket(handle_), reinterpret_cast<const char*>(data),
                       static_cast<int>(size), 0, reinterpret_cast<const sockaddr*>(&a), sizeof a);
  if (n == SOCKET_ERROR) {
    *error = WSAGetLastError();
    return -1;
  }
  return n;
}

void UdpSocket::send_all(const std::vector<Outbound>& datagrams) {
  for (const Outbound& d : datagrams) {
    int unused = 0;
    // A refused datagram is skipped, as a lost one would be.
    send_to(d.data, d.size, d.to, &unused);
  }
}

UdpReceived UdpSocket::read_queued(uint8_t* buf, size_t size) {
  UdpReceived r;
  if (event_ == nullptr) {
    // A server's socket blocks; a read must not wait for a datagram to come.
    bool queued = false;
    UdpSocket* const self = this;
    const int n = udp_wait(&self, 1, 0, &queued, &r.error);
    if (n < 0) {
      r.what = UdpWhat::kError;
      return r;
    }
    if (n == 0) return r;
  }
  sockaddr_in a{};
  int len = sizeof a;
  const int got = recvfrom(as_socket(handle_), reinterpret_cast<char*>(buf), static_cast<int>(size),
                           0, reinterpret_cast<sockaddr*>(&a), &len);
  if (got == SOCKET_ERROR) {
    const int err = WSAGetLastError();
    if (err == WSAEWOULDBLOCK) return r;
    if (err != WSAEMSGSIZE) {
      r.what = UdpWhat::kError;
      r.error = err;
      return r;
    }
    // The buffer holds the datagram's start.
    r.what = UdpWhat::kTooLarge;
    r.size = size;
  } else {
    r.what = UdpWhat::kDatagram;
    r.size = static_cast<size_t>(got);
  }
  r.from.addr = a.sin_addr.s_addr;
  r.from.port = ntohs(a.sin_port);
  return r;
}

namespace {

// Sockets tied to events: one wait on all their events. A signalled event
// only says a read may find something: the reads tell.
int wait_events(UdpSocket* const* sockets, size_t count, int wait_ms, bool* readable, int* error) {
  HANDLE events[kUdpWaitMax];
  for (size_t i = 0; i < count; ++i) events[i] = static_cast<HANDLE>(sockets[i]->wait_event());
  const DWORD n = static_cast<DWORD>(count);
  const DWORD woke =
      WaitForMultipleObjects(n, events, n == 1, static_cast<DWORD>(wait_ms > 0 ? wait_ms : 0));
  if (woke == WAIT_TIMEOUT) return 0;
  if (woke == WAIT_FAILED || woke >= WAIT_OBJECT_0 + n) {
    const int err = woke == WAIT_FAILED ? WSAGetLastError() : 0;
    *error = err != 0 ? err : WSASYSCALLFAILURE;
    return -1;
  }
  // The first signalled one woke the wait; the others are looked at without
  // waiting, each look taking its signal as the wait would have.
  const size_t first = woke - WAIT_OBJECT_0;
  int ready = 0;
  for (size_t i = 0; i < count; ++i) {
    readable[i] = i == first || WaitForSingleObject(events[i], 0) == WAIT_OBJECT_0;
    if (readable[i]) ++ready;
  }
  return ready;
}

}  // namespace

int udp_wait(UdpSocket* const* sockets, size_t count, int wait_ms, bool* readable, int* error) {
  if (count > kUdpWaitMax || count > FD_SETSIZE) {
    *error = WSAEINVAL;
    return -1;
  }
  if (count == 0) {
    Sleep(static_cast<DWORD>(wait_ms > 0 ? wait_ms : 0));
    return 0;
  }
  bool all_evented = true;
  for (size_t i = 0; i < count; ++i) all_evented = all_evented && sockets[i]->wait_event();
  if (all_evented) return wait_events(sockets, count, wait_ms, readable, error);
  fd_set set;
  FD_ZERO(&set);
  for (size_t i = 0; i < count; ++i) FD_SET(as_socket(sockets[i]->native_handle()), &set);
  timeval wait{wait_ms / 1000, (wait_ms % 1000) * 1000};
  const int rc = select(0, &set, nullptr, nullptr, &wait);
  if (rc == SOCKET_ERROR) {
    const int err = WSAGetLastError();
    *error = err != 0 ? err : WSASYSCALLFAILURE;
    return -1;
  }
  for (size_t i = 0; i < count; ++i)
    readable[i] = FD_ISSET(as_socket(sockets[i]->native_handle()), &set) != 0;
  return rc;
}

void catch_stop_requests() { SetConsoleCtrlHandler(on_console_event, TRUE); }

bool stop_requested() { return InterlockedCompareExchange(&stop_flag, 0, 0) != 0; }
