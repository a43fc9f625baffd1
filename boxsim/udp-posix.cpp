// BSD sockets and signals. Replies due together go out in one sendmmsg call
// (Linux), so that a doubled reply is waiting at the client before it can act
// on the first copy.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "boxsim/udp.h"

namespace {
volatile std::sig_atomic_t stop_signal = 0;
void on_signal(int) { stop_signal = 1; }

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
  if (handle_ >= 0) close(static_cast<int>(handle_));
}

bool UdpSocket::bind_to(const std::string& addr, uint16_t port, std::string* error) {
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

long UdpSocket::receive(uint8_t* buf, size_t size, Peer* from, int wait_ms) {
  const int fd = static_cast<int>(handle_);
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, wait_ms) <= 0) return -1;
  sockaddr_in a{};
  socklen_t len = sizeof a;
  const ssize_t n = recvfrom(fd, buf, size, 0, reinterpret_cast<sockaddr*>(&a), &len);
  if (n < 0) return -1;
  from->addr = a.sin_addr.s_addr;
  from->port = ntohs(a.sin_port);
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

void catch_stop_requests() {
  struct sigaction sa = {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

bool stop_requested() { return stop_signal != 0; }
