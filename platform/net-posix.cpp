#include "platform/net-posix.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

namespace {

// What a HANDLE from CreateEventA points at.
struct Event {
  int fd = -1;  // socket tied by WSAEventSelect, or -1
  bool manual_reset = false;
  std::atomic<bool> signalled{false};
};

Event* as_event(HANDLE h) { return static_cast<Event*>(h); }

void copy_text(char* dst, size_t size, const char* src) {
  std::strncpy(dst, src, size - 1);
  dst[size - 1] = '\0';
}

// The signal set by SetEvent, consumed by the wait unless manual reset.
bool take_signal(Event* e) {
  if (e->manual_reset) return e->signalled.load();
  return e->signalled.exchange(false);
}

}  // namespace

int WSAStartup(WORD version, WSADATA* data) {
  if (data == nullptr) return WSAEFAULT;
  if ((version & 0xFF) == 0) return WSAVERNOTSUPPORTED;
  std::memset(data, 0, sizeof *data);
  data->wVersion = 0x0101;
  data->wHighVersion = 0x0202;
  copy_text(data->szDescription, sizeof data->szDescription, "BSD sockets");
  copy_text(data->szSystemStatus, sizeof data->szSystemStatus, "Running");
  data->iMaxSockets = 0xFFFF;
  data->iMaxUdpDg = 65507;
  data->lpVendorInfo = nullptr;
  return 0;
}

int WSACleanup() { return 0; }

int WSAGetLastError() {
  switch (errno) {
    case 0:
      return 0;
    case EINTR:
      return WSAEINTR;
    case EBADF:
      return WSAEBADF;
    case EACCES:
    case EPERM:
      return WSAEACCES;
    case EFAULT:
      return WSAEFAULT;
    case EINVAL:
      return WSAEINVAL;
    case EMFILE:
    case ENFILE:
      return WSAEMFILE;
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EAGAIN:
      return WSAEWOULDBLOCK;
    case EINPROGRESS:
      return WSAEINPROGRESS;
    case EALREADY:
      return WSAEALREADY;
    case ENOTSOCK:
      return WSAENOTSOCK;
    case EDESTADDRREQ:
      return WSAEDESTADDRREQ;
    case EMSGSIZE:
      return WSAEMSGSIZE;
    case EPROTOTYPE:
      return WSAEPROTOTYPE;
    case ENOPROTOOPT:
      return WSAENOPROTOOPT;
    case EPROTONOSUPPORT:
      return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT:
      return WSAESOCKTNOSUPPORT;
#if EOPNOTSUPP != ENOTSUP
    case ENOTSUP:
#endif
    case EOPNOTSUPP:
      return WSAEOPNOTSUPP;
    case EPFNOSUPPORT:
      return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT:
      return WSAEAFNOSUPPORT;
    case EADDRINUSE:
      return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
      return WSAEADDRNOTAVAIL;
    case ENETDOWN:
      return WSAENETDOWN;
    case ENETUNREACH:
      return WSAENETUNREACH;
    case ENETRESET:
      return WSAENETRESET;
    case ECONNABORTED:
      return WSAECONNABORTED;
    case ECONNRESET:
      return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM:
      return WSAENOBUFS;
    case EISCONN:
      return WSAEISCONN;
    case ENOTCONN:
      return WSAENOTCONN;
    case ESHUTDOWN:
    case EPIPE:
      return WSAESHUTDOWN;
    case ETIMEDOUT:
      return WSAETIMEDOUT;
    case ECONNREFUSED:
      return WSAECONNREFUSED;
    case ELOOP:
      return WSAELOOP;
    case ENAMETOOLONG:
      return WSAENAMETOOLONG;
    case EHOSTDOWN:
      return WSAEHOSTDOWN;
    case EHOSTUNREACH:
      return WSAEHOSTUNREACH;
    default:
      // Never 10000 + errno: errno values differ from the BSD numbers Winsock
      // is built on, and 10035 would then read as "would block".
      return WSASYSCALLFAILURE;
  }
}

int closesocket(SOCKET s) { return close(s); }

int WSAEventSelect(SOCKET s, HANDLE event, long mask) {
  if (event == nullptr) {
    errno = EINVAL;
    return SOCKET_ERROR;
  }
  const int flags = fcntl(s, F_GETFL);
  if (flags == -1 || fcntl(s, F_SETFL, flags | O_NONBLOCK) == -1) return SOCKET_ERROR;
  // A mask of 0 unties the socket; it stays non-blocking, as with Winsock.
  as_event(event)->fd = (mask & FD_READ) ? s : -1;
  return 0;
}

HANDLE CreateEventA(void*, BOOL manual_reset, BOOL initial_state, const char*) {
  Event* e = new Event;
  e->manual_reset = manual_reset != FALSE;
  e->signalled = initial_state != FALSE;
  return e;
}

BOOL SetEvent(HANDLE event) {
  if (event == nullptr) {
    errno = EINVAL;
    return FALSE;
  }
  as_event(event)->signalled = true;
  return TRUE;
}

BOOL WSACloseEvent(HANDLE event) {
  if (event == nullptr) {
    errno = EINVAL;
    return FALSE;
  }
  delete as_event(event);
  return TRUE;
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL, DWORD ms) {
  if (count != 1 || handles == nullptr || handles[0] == nullptr) {
    errno = EINVAL;
    return WAIT_FAILED;
  }
  Event* e = as_event(handles[0]);
  if (take_signal(e)) return WAIT_OBJECT_0;

  using Clock = std::chrono::steady_clock;
  const bool forever = ms == INFINITE;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : ms);
  for (;;) {
    int slice = -1;
    if (!forever) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      slice = left <= 0 ? 0 : (left > INT_MAX ? INT_MAX : static_cast<int>(left));
    }
    // An untied event has only the hand-set signal, which no poll can see.
    pollfd p{e->fd, POLLIN, 0};
    const int rc = poll(&p, e->fd >= 0 ? 1 : 0, slice);
    if (rc < 0) {
      if (errno == EINTR) continue;
      return WAIT_FAILED;
    }
    if (rc > 0) {
      if (p.revents & POLLNVAL) {
        errno = EBADF;
        return WAIT_FAILED;
      }
      return WAIT_OBJECT_0;  // readable, or an error waits to be read
    }
    if (take_signal(e)) return WAIT_OBJECT_0;
    if (!forever && Clock::now() >= deadline) return WAIT_TIMEOUT;
  }
}
