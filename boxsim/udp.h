// The box's UDP sockets, the one place where boxsim meets the system's
// socket calls: BSD sockets on Linux (udp-posix.cpp), Winsock on Windows
// (udp-win32.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// An IPv4 address and port as the socket calls give them.
struct Peer {
  uint32_t addr = 0;  // network byte order
  uint16_t port = 0;  // host byte order
};

// Dotted text of an address in network byte order.
std::string peer_addr_text(uint32_t addr);

// One datagram to send; `data` stays valid until the send returns.
struct Outbound {
  const uint8_t* data;
  size_t size;
  Peer to;
};

class UdpSocket {
 public:
  UdpSocket() = default;
  ~UdpSocket();
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  // Opens the socket bound to addr:port (port 0: any free one). False with
  // *error set when that cannot be done.
  bool bind_to(const std::string& addr, uint16_t port, std::string* error);
  uint16_t bound_port() const;

  // Waits at most wait_ms for a datagram and reads it into buf. Returns its
  // length, or -1 when none came or reading failed.
  long receive(uint8_t* buf, size_t size, Peer* from, int wait_ms);

  // Sends the datagrams in order, in as few system calls as the platform
  // offers, so that datagrams due together reach the peer together. A
  // datagram the system refuses is skipped.
  void send_all(const std::vector<Outbound>& datagrams);

 private:
  intptr_t handle_ = -1;
};

// From now on Ctrl-C (and SIGTERM where there is one) sets stop_requested()
// instead of ending the process, so that the server can end cleanly.
void catch_stop_requests();
bool stop_requested();
