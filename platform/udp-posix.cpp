// BSD sockets, poll() and signals. Replies due together go out in one
// sendmmsg call (Linux), so that a doubled reply is waiting at the client
// before it can act on the first copy.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>

#include "platform/udp.h"

namespace {

// Winsock error numbers for the errno values a datagram socket can give.
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSASYSCALLFAILURE = 10107;

volatile std::sig_atomic_t stop_signal = 0;
void on_signal(int) { stop_signal = 1; }

sockaddr_in to_sockaddr(const Peer& p) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = p.addr;
  a.sin_port = htons(p.port);
  return a;
}

// The number of the latest failed call; never 0 for a failure.
int last_error_number() {
  const int n = udp_error_number(errno);
  return n != 0 ? n : WSASYSCALLFAILURE;
}

}  // namespace

int udp_error_number(int system_error) {
  switch (system_error) {
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

UdpLayer::UdpLayer() = default;
UdpLayer::~UdpLayer() = default;

UdpSocket::~UdpSocket() { close(); }

void UdpSocket::close() {
  if (handle_ == kNone) return;
  ::close(static_cast<int>(handle_));
  handle_ = kNone;
}

bool UdpSocket::open(const Peer& local, UdpStep* failed, int* error) {
  close();
#ifdef SOCK_NONBLOCK
  // Non-blocking from the start: one call for each sensor's socket, not three.
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
#else
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
#endif
  if (fd < 0) {
    *failed = UdpStep::kCreate;
    *error = last_error_number();
    return false;
  }
  handle_ = fd;
#ifndef SOCK_NONBLOCK
  const int flags = fcntl(fd, F_GETFL);
  if (flags == -1 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1) {
    *failed = UdpStep::kCreate;
    *error = last_error_number();
    close();
    return false;
  }
#endif
  const sockaddr_in a = to_sockaddr(local);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    *failed = UdpStep::kBind;
    *error = last_error_number();
    close();
    return false;
  }
  return true;
}

bool UdpSocket::bind_to(const std::string& addr, uint16_t port, std::string* error) {
  close();
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (inet_pton(AF_INET, addr.c_str(), &a.sin_addr) != 1) {
    *error = "not a dotted IPv4 address: " + addr;
    return false;
  }
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  handle_ = fd;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    *error = "cannot bind " + addr + ":" + std::to_string(port) + ": " + std::strerror(errno);
    if (errno == EACCES) *error += " (ports below 1024 need root)";
    return false;
  }
  return true;
}

uint16_t UdpSocket::bound_port() const {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(static_cast<int>(handle_), reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

long UdpSocket::send_to(const uint8_t* data, size_t size, const Peer& to, int* error) {
  const sockaddr_in a = to_sockaddr(to);
  const ssize_t n = sendto(static_cast<int>(handle_), data, size, 0,
                           reinterpret_cast<const sockaddr*>(&a), sizeof a);
  if (n < 0) *error = last_error_number();
  return static_cast<long>(n);
}

void UdpSocket::send_all(const std::vector<Outbound>& datagrams) {
  std::vector<sockaddr_in> to(datagrams.size());
  std::vector<iovec> iov(datagrams.size());
  std::vector<mmsghdr> msgs(datagrams.size());
  for (size_t i = 0; i < datagrams.size(); ++i) {
    to[i] = to_sockaddr(datagrams[i].to);
    iov[i].iov_base = const_cast<uint8_t*>(datagrams[i].data);
    iov[i].iov_len = datagrams[i].size;
    msgs[i] = mmsghdr{};
    msgs[i].msg_hdr.msg_name = &to[i];
    msgs[i].msg_hdr.msg_namelen = sizeof to[i];
    msgs[i].msg_hdr.msg_iov = &iov[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
  }
  size_t sent = 0;
  while (sent < msgs.size()) {
    const int n = sendmmsg(static_cast<int>(handle_), msgs.data() + sent,
                           static_cast<unsigned>(msgs.size() - sent), 0);
    if (n <= 0) {
      ++sent;  // skip a datagram the system refuses
      continue;
    }
    sent += static_cast<size_t>(n);
  }
}

UdpReceived UdpSocket::read_queued(uint8_t* buf, size_t size) {
  UdpReceived r;
  sockaddr_in a{};
  socklen_t len = sizeof a;
  // With MSG_TRUNC (Linux) the datagram's own length comes back, also when
  // it did not fit.
  const ssize_t n = recvfrom(static_cast<int>(handle_), buf, size, MSG_DONTWAIT | MSG_TRUNC,
                             reinterpret_cast<sockaddr*>(&a), &len);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return r;
    r.what = UdpWhat::kError;
    r.error = last_error_number();
    return r;
  }
  r.from.addr = a.sin_addr.s_addr;
  r.from.port = ntohs(a.sin_port);
  r.what = static_cast<size_t>(n) > size ? UdpWhat::kTooLarge : UdpWhat::kDatagram;
  r.size = std::min(static_cast<size_t>(n), size);
  return r;
}

int udp_wait(UdpSocket* const* sockets, size_t count, int wait_ms, bool* readable, int* error) {
  if (count > kUdpWaitMax) {
    *error = WSAEINVAL;
    return -1;
  }
  pollfd fds[kUdpWaitMax];
  for (size_t i = 0; i < count; ++i) {
    fds[i] = pollfd{static_cast<int>(sockets[i]->native_handle()), POLLIN, 0};
    readable[i] = false;
  }
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
  int rc = 0;
  for (int slice = wait_ms;;) {
    rc = poll(fds, static_cast<nfds_t>(count), slice);
    if (rc >= 0) break;
    if (errno != EINTR) {
      *error = last_error_number();
      return -1;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    slice = left <= 0 ? 0 : (left > INT_MAX ? INT_MAX : static_cast<int>(left));
  }
  for (size_t i = 0; i < count; ++i) {
    if (fds[i].revents & POLLNVAL) {
      *error = WSAEBADF;
      return -1;
    }
    // Readable, or an error waits to be read.
    readable[i] = fds[i].revents != 0;
  }
  return rc;
}

void catch_stop_requests() {
  struct sigaction sa = {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

bool stop_requested() { return stop_signal != 0; }
