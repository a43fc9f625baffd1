// Checks the Windows side of waiting on several sockets (run it under Wine or
// on Windows). Exit status 0 when
// - a wait on two event-tied sockets with nothing sent runs out and says so;
// - a datagram sent to the second wakes the wait with that one readable
//   alone, and it is then read whole;
// - with nothing left, a read without a wait finds nothing.
#include <cstdio>
#include <cstring>

#include "platform/udp.h"

namespace {

int failed(const char* what) {
  std::printf("udp check FAILED: %s\n", what);
  return 1;
}

}  // namespace

int main() {
  UdpLayer layer;
  if (!layer.started()) return failed("the socket layer did not start");
  Peer loopback;
  loopback.addr = 0x0100007F;  // 127.0.0.1, network byte order
  UdpSocket a, b, sender;
  UdpStep step = UdpStep::kCreate;
  int error = 0;
  if (!a.open(loopback, &step, &error) || !b.open(loopback, &step, &error) ||
      !sender.open(loopback, &step, &error))
    return failed("a socket could not be opened");
  UdpSocket* const both[] = {&a, &b};
  bool readable[2] = {true, true};
  if (udp_wait(both, 2, 50, readable, &error) != 0) return failed("an idle wait did not run out");

  Peer to = loopback;
  to.port = b.bound_port();
  const uint8_t datagram[] = {1, 2, 3, 4, 5};
  if (sender.send_to(datagram, sizeof datagram, to, &error) != sizeof datagram)
    return failed("the datagram could not be sent");
  const int ready = udp_wait(both, 2, 2000, readable, &error);
  if (ready != 1 || readable[0] || !readable[1])
    return failed("the wait did not name the second socket alone");
  uint8_t buf[16] = {};
  const UdpReceived got = b.read_queued(buf, sizeof buf);
  if (got.what != UdpWhat::kDatagram || got.size != sizeof datagram ||
      std::memcmp(buf, datagram, sizeof datagram) != 0)
    return failed("the datagram was not read whole");
  if (b.read_queued(buf, sizeof buf).what != UdpWhat::kNothing)
    return failed("a read found a datagram that was not sent");
  std::printf("udp check passed\n");
  return 0;
}
