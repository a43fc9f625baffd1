// What the receiving calls of both platforms share; the system calls are in
// udp-posix.cpp and udp-win32.cpp.
#include "platform/udp.h"

#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

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

// Both by hand: the system's text calls differ in name and header.
std::string peer_addr_text(uint32_t addr) {
  const auto* b = reinterpret_cast<const unsigned char*>(&addr);  // network order: as stored
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return text;
}

bool dotted_ipv4(const std::string& text, uint32_t* addr) {
  unsigned char parts[4];
  size_t i = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0 && (i >= text.size() || text[i++] != '.')) return false;
    const size_t start = i;
    unsigned value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 3)
      value = value * 10 + static_cast<unsigned>(text[i++] - '0');
    // One to three digits, no leading zero, at most 255.
    if (i == start || value > 255 || (text[start] == '0' && i - start > 1)) return false;
    parts[part] = static_cast<unsigned char>(value);
  }
  if (i != text.size()) return false;
  uint32_t a = 0;
  std::memcpy(&a, parts, sizeof a);  // network order: as stored
  *addr = a;
  return true;
}

UdpReceived UdpSocket::receive(uint8_t* buf, size_t size, int wait_ms) {
  const std::chrono::steady_clock::time_point deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  UdpSocket* const self = this;
  for (;;) {
    // What is queued already is taken without a wait: a reply often is by
    // the time its request's sender reads.
    UdpReceived r = read_queued(buf, size);
    if (r.what != UdpWhat::kNothing) return r;
    bool readable = false;
    const int n = udp_wait(&self, 1, udp_ms_left(deadline), &readable, &r.error);
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
