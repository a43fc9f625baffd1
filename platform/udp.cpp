// What the receiving calls of both platforms share; the system calls are in
// udp-posix.cpp and udp-win32.cpp.
#include "platform/udp.h"

#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Whether a failed read while draining means nothing more can be read.
bool drain_ends(int error) {
  switch (error) {
    case 10009:  // bad handle
    case 10014:  // bad address
    case 10022:  // invalid argument
    case 10038:  // not a socket
    case 10045:  // operation not supported
    case 10050:  // network down
    case 10058:  // shut down
    case 10093:  // socket layer not started
      return true;
    default:
      return false;
  }
}

}  // namespace

UdpReceived UdpSocket::receive(uint8_t* buf, size_t size, int wait_ms) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
  UdpSocket* const self = this;
  for (;;) {
    // What is queued already is taken without a wait: a reply often is by
    // the time its request's sender reads.
    UdpReceived r = read_queued(buf, size);
    if (r.what != UdpWhat::kNothing) return r;
    bool readable = false;
    const int n = udp_wait(&self, 1, ms_left(deadline), &readable, &r.error);
    if (n < 0) {
      r.what = UdpWhat::kError;
      return r;
    }
    if (n == 0) return r;
    // Readable. The datagram may be gone by the read (the system dropped
    // it); the wait then goes on for the time that is left.
  }
}

void UdpSocket::drain(uint8_t* buf, size_t size, int max) {
  for (int i = 0; i < max; ++i) {
    const UdpReceived r = read_queued(buf, size);
    if (r.what == UdpWhat::kNothing) return;
    if (r.what == UdpWhat::kError && drain_ends(r.error)) return;
  }
}
