// Any datagrams while a status reply is awaited: each one is judged and, when
// taken, decoded into the status record, as getdata does behind its socket.
// Input: the sensor port (low three bits of byte 0), then datagrams
// (fuzz/datagrams.h).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "device/coding.h"
#include "device/getdata.h"
#include "fuzz/datagrams.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

// The record's bytes, padding included: a drop must leave every one alone.
struct Snapshot {
  unsigned char bytes[sizeof(SensorStatus)];
  explicit Snapshot(const SensorStatus* s) { std::memcpy(bytes, s, sizeof bytes); }
  bool same(const SensorStatus* s) const { return std::memcmp(bytes, s, sizeof bytes) == 0; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static getdata conn(kBoxPort, 0);
  if (size < 1) return 0;
  conn.box_ip = fuzz::kBoxIp;
  conn.port = data[0] & 7;
  // A known record, password included, so every change can be seen.
  std::memset(conn.status.get(), 0x5A, sizeof(SensorStatus));
  std::memcpy(conn.status->password, "0123456789abcdef", kPasswordSize);
  conn.last_error = 0;

  for (const fuzz::Received& r : fuzz::split_datagrams(data + 1, size - 1)) {
    const Snapshot before(conn.status.get());
    const Datagram d = r.view();
    const bool from_box = r.from_ip == fuzz::kBoxIp && r.from_port == kBoxPort;
    const Verdict v = conn.take_status_reply(d);

    if (d.len == kOldFirmwareReplySize) {
      check(v == Verdict::kOldFirmware && conn.last_error == kErrOldFirmware);
      check(before.same(conn.status.get()));
      return 0;
    }
    const bool matches = d.len == kStatusReplySize && from_box && d.data[1] == conn.port;
    if (!matches) {
      check(v == Verdict::kDrop && conn.last_error == 0);
      check(before.same(conn.status.get()));
      continue;
    }
    // An answer to the request leaves its code, whatever the verdict.
    check(conn.status->replyCode == d.data[0]);
    if (d.data[0] != kStatusReplyCode && !(d.data[0] & 0x80)) {
      check(v == Verdict::kDrop && conn.last_error == 0);
      conn.status->replyCode = before.bytes[offsetof(SensorStatus, replyCode)];
      check(before.same(conn.status.get()));
      continue;
    }
    if (d.data[0] & 0x80) {
      check(v == Verdict::kBoxError);
      check(conn.last_error == static_cast<int8_t>(d.data[0]) && conn.last_error < 0);
      check(conn.status->replyCode == d.data[0]);
      return 0;
    }
    // Taken: every field but the password comes from the reply, and encoding
    // the record again gives the reply back, bytes 27-42 aside.
    check(v == Verdict::kAccept && conn.last_error == 0);
    check(std::memcmp(conn.status->password, "0123456789abcdef", kPasswordSize) == 0);
    uint8_t again[kStatusReplySize];
    encode_status(*conn.status, again);
    check(std::memcmp(again, d.data, 27) == 0);
    check(std::memcmp(again + 43, d.data + 43, kStatusReplySize - 43) == 0);
    check(conn.status->logCount == coding::get_i16_be(d.data + 13));
    return 0;
  }
  return 0;
}
