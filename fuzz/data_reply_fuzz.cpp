// Any datagrams while data replies are awaited: the download of one datalog
// driven chunk by chunk as getdata does behind its socket, each datagram
// judged and, when taken, its samples copied into the sample buffer.
// Input: the sensor port (low three bits of byte 0); the sample width
// (byte 1: low two bits 0, 1, 2 pick 1, 2, 4 bytes, 3 takes the rest of the
// byte as the width); logCapacity, logHead, logCount (16-bit LE each); then
// datagrams (fuzz/datagrams.h).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "device/coding.h"
#include "device/getdata.h"
#include "fuzz/datagrams.h"

namespace {

constexpr size_t kHeader = 8;

void check(bool ok) {
  if (!ok) std::abort();
}

int32_t sample_at(const uint8_t* p, int size) {
  switch (size) {
    case 1:
      return coding::get_i8(p);
    case 2:
      return coding::get_i16_le(p);
    default:
      return coding::get_i32_le(p);
  }
}

// What a reply to a request for `asked` samples must get, told apart here
// from the message rules themselves.
Verdict expected_verdict(const fuzz::Received& r, uint8_t port, int asked, int size) {
  const auto& b = r.bytes;
  const bool from_box = r.from_ip == fuzz::kBoxIp && r.from_port == kBoxPort;
  if (!from_box || b.size() != static_cast<size_t>(asked * size + 23) || b[1] != port)
    return Verdict::kDrop;
  if (b[0] & 0x80) return Verdict::kBoxError;
  if (b[0] != 1) return Verdict::kDrop;
  const int count = coding::get_i16_le(&b[5]);
  return count >= 1 && count <= asked ? Verdict::kAccept : Verdict::kDrop;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static getdata conn(kBoxPort, 0);
  if (size < kHeader) return 0;
  conn.box_ip = fuzz::kBoxIp;
  conn.port = data[0] & 7;
  conn.slot = (data[0] >> 3) & 1;
  conn.last_error = 0;
  SensorStatus& s = *conn.status;
  static const uint8_t kWidths[] = {1, 2, 4};
  s.sampleSize = (data[1] & 3) == 3 ? data[1] >> 2 : kWidths[data[1] & 3];
  s.logCapacity = coding::get_i16_le(data + 2);
  s.logHead = coding::get_i16_le(data + 4);
  s.logCount = coding::get_i16_le(data + 6);
  const int width = s.sampleSize, capacity = s.logCapacity, count = s.logCount;

  const bool sound = (width == 1 || width == 2 || width == 4) && capacity >= 1 && count >= 0 &&
                     count <= capacity && s.logHead >= 0 && s.logHead <= capacity;
  const bool ready = conn.begin_download();
  check(ready == sound);
  if (!ready) {
    check(conn.last_error == kErrInvalidLog);
    return 0;
  }
  if (count == 0) return 0;  // an empty log is never downloaded
  check(conn.samples.size() == static_cast<size_t>(count) * width);
  std::vector<uint8_t> shadow = conn.samples;

  int first = s.logHead - count;
  if (first < 0) first += capacity;
  int done = 0;
  for (const fuzz::Received& r : fuzz::split_datagrams(data + kHeader, size - kHeader)) {
    if (done >= count) break;
    const int asked = conn.request_chunk(done);
    const uint8_t* req = conn.send_buf;
    check(asked == std::min(1146 / width, count - done) && asked >= 1);
    check(req[0] == kDataRequestCode && req[1] == conn.port && req[2] == conn.slot);
    check(coding::get_u16_le(req + 5) == asked);
    check(coding::get_u16_le(req + 3) == (first + done) % capacity);

    const int before = done;
    const Verdict want = expected_verdict(r, conn.port, asked, width);
    check(conn.take_data_reply(r.view(), asked, &done) == want);
    if (want == Verdict::kBoxError) {
      check(done == before && conn.last_error == static_cast<int8_t>(r.bytes[0]));
      break;
    }
    if (want == Verdict::kDrop) {
      check(done == before && conn.last_error == 0);
      continue;
    }
    const int got = coding::get_i16_le(&r.bytes[5]);
    check(done == before + got && done <= count);
    const uint8_t* wire = r.bytes.data() + 23;
    std::memcpy(shadow.data() + static_cast<size_t>(before) * width, wire,
                static_cast<size_t>(got) * width);
    for (int i = 0; i < got; ++i)
      check(conn.get_value(before + i) == sample_at(wire + i * width, width));
  }
  // Nothing but the taken samples was written anywhere in the buffer.
  check(conn.samples == shadow);
  return 0;
}
