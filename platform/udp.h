// The program's UDP sockets: the one place where the device link and boxsim
// meet the system's socket calls. BSD sockets and poll() on POSIX
// (udp-posix.cpp), Winsock with Windows events on Windows (udp-win32.cpp);
// what both share is in udp.cpp.
//
// Socket errors are told by Winsock's numbers on every platform (10035
// "would block", 10061 "refused" ...): they reach the user in messages, so
// one failure reads the same on both. On POSIX errno values are mapped.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// An IPv4 address and port as the socket calls give them.
struct Peer {
  uint32_t addr = 0;  // network byte order; 0: any address
  uint16_t port = 0;  // host byte order; 0: any port
};

// Dotted text of an address in network byte order.
std::string peer_addr_text(uint32_t addr);
// Reads the strict dotted form a.b.c.d into *addr (network byte order).
bool dotted_ipv4(const std::string& text, uint32_t* addr);

// The Winsock number of a system error code: on Windows the code itself,
// on POSIX an errno value mapped (one without a closer Winsock number is
// 10107, never 10000 + errno).
int udp_error_number(int system_error);

// The socket layer held up for the lifetime of the object: Winsock's
// start-up (version 1.1) on Windows, nothing elsewhere.
class UdpLayer {
 public:
  UdpLayer();
  ~UdpLayer();
  UdpLayer(const UdpLayer&) = delete;
  UdpLayer& operator=(const UdpLayer&) = delete;
  bool started() const { return started_; }
  // The number the start-up failed with; 0 when started.
  int error() const { return error_; }

 private:
  bool started_ = true;
  int error_ = 0;
};

// One datagram to send; `data` stays valid until the send returns.
struct Outbound {
  const uint8_t* data;
  size_t size;
  Peer to;
};

// What a receive came to.
enum class UdpWhat {
  kDatagram,  // `size` bytes from `from`
  kNothing,   // none came in time (none queued, for a read without a wait)
  kTooLarge,  // one larger than the buffer: the buffer holds its start
  kError,     // the read or the wait failed with `error`
};

struct UdpReceived {
  UdpWhat what = UdpWhat::kNothing;
  size_t size = 0;
  Peer from;
  int error = 0;  // Winsock number, for kError
};

// Which step of opening a socket failed.
enum class UdpStep {
  kCreate,  // making the socket or readying it for waits
  kBind,
};

class UdpSocket {
 public:
  UdpSocket() = default;
  ~UdpSocket();
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  // Opens a socket bound to `local` that never blocks the caller. False
  // with the step that failed and its number when that cannot be done; the
  // socket is then closed.
  bool open(const Peer& local, UdpStep* failed, int* error);
  // For a server: opens the socket bound to addr:port (port 0: any free
  // one), taken for itself where the system allows. False with *error set
  // as text when that cannot be done.
  bool bind_to(const std::string& addr, uint16_t port, std::string* error);
  void close();
  bool is_open() const { return handle_ != kNone; }
  uint16_t bound_port() const;
  // The system's handle, for tests that set socket options.
  intptr_t native_handle() const { return handle_; }
  // Windows: the event the socket is tied to, null for a server's socket.
  void* wait_event() const { return event_; }

  // Sends one datagram: the count of bytes sent, or -1 with *error.
  long send_to(const uint8_t* data, size_t size, const Peer& to, int* error);
  // Sends the datagrams in order, in as few system calls as the platform
  // offers, so that datagrams due together reach the peer together. A
  // datagram the system refuses is skipped.
  void send_all(const std::vector<Outbound>& datagrams);

  // Reads a datagram into buf, waiting at most wait_ms for one to come.
  UdpReceived receive(uint8_t* buf, size_t size, int wait_ms);
  // Reads one datagram if one is queued, without waiting.
  UdpReceived read_queued(uint8_t* buf, size_t size);
  // Reads and drops what is queued, at most `max` reads, without waiting.
  // A read that fails for its datagram alone (too large, a reset or
  // unreachable notice for an earlier send) leaves the rest to be read.
  void drain(uint8_t* buf, size_t size, int max);

 private:
  static constexpr intptr_t kNone = -1;
  intptr_t handle_ = kNone;
  // Windows: the one event the sockets opened by open() are tied to in
  // turn, made with the first and closed with the object; unused elsewhere.
  void* event_ = nullptr;
};

// Whole milliseconds from now until `deadline`, never below 0: what is left
// of a wait that several receives share.
inline int udp_ms_left(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// The most sockets one udp_wait takes (the handles one Windows wait takes).
constexpr size_t kUdpWaitMax = 64;

// Waits at most wait_ms (0: only looks) until any of the `count` sockets
// has a datagram or an error to read, and sets readable[i] for each that
// has. Returns how many have, 0 when the time ran out, or -1 with *error
// (10022 for more than kUdpWaitMax sockets).
int udp_wait(UdpSocket* const* sockets, size_t count, int wait_ms, bool* readable, int* error);

// From now on Ctrl-C (and SIGTERM where there is one) sets stop_requested()
// instead of ending the process, so that a server can end cleanly.
void catch_stop_requests();
bool stop_requested();
