#include "boxsim/responder.h"

#include <algorithm>
#include <cstring>

#include "device/coding.h"
#include "device/messages.h"

namespace {

constexpr size_t kMaxDatagram = 65507;  // largest UDP payload over IPv4
// Longer than any reply, and than a client's 1500-byte receive buffer.
constexpr size_t kOversized = 2000;

// The slot's faults laid over the box-wide ones.
Faults merge(const Faults& box, const Faults& slot) {
  Faults f;
  f.silent = box.silent || slot.silent;
  f.old_firmware = box.old_firmware || slot.old_firmware;
  f.late_ms = std::max(box.late_ms, slot.late_ms);
  f.junk = box.junk | slot.junk;
  f.twice_gap_ms = slot.twice_gap_ms ? slot.twice_gap_ms : box.twice_gap_ms;
  const Faults& flood = slot.flood_count > 0 ? slot : box;
  f.flood_count = flood.flood_count;
  f.flood_interval_ms = flood.flood_interval_ms;
  f.reply_count = slot.reply_count ? slot.reply_count : box.reply_count;
  f.stale_copy = box.stale_copy || slot.stale_copy;
  return f;
}

bool dropped(const Faults& f, int nth) {
  return nth <= f.drop_first ||
         std::find(f.drop_requests.begin(), f.drop_requests.end(), nth) != f.drop_requests.end();
}

std::vector<uint8_t> error_reply(uint8_t code, uint8_t port, size_t len) {
  if (len > kMaxDatagram) return {};
  std::vector<uint8_t> r(len, 0);
  r[0] = code;
  r[1] = port;
  return r;
}

// Bytes 7-22 of a request must carry the password as the client cuts it:
// the first 16 bytes, zero-padded.
bool password_ok(const std::optional<std::string>& password, const uint8_t* request) {
  if (!password) return true;
  uint8_t want[kPasswordSize] = {};
  std::memcpy(want, password->data(), std::min<size_t>(password->size(), kPasswordSize));
  return std::memcmp(want, request + kReqPassword, kPasswordSize) == 0;
}

std::vector<uint8_t> status_reply(const Box& box, const Sensor& s, uint8_t port, int32_t clock) {
  SensorStatus st{};
  st.replyCode = kStatusReplyCode;
  st.port = port;
  st.sensorType = s.type;
  st.deviceTime = clock;
  st.lastLogTime = s.last_log_time ? *s.last_log_time : clock;
  // On the host's clock a box logs on its interval grid, so that the
  // newest sample moves on by whole intervals between two downloads.
  if (!s.last_log_time && !box.clock && s.interval > 0) {
    const uint32_t step = static_cast<uint32_t>(s.interval) * 60;
    const uint32_t t = static_cast<uint32_t>(clock);
    st.lastLogTime = static_cast<int32_t>(t - t % step);
  }
  st.logHead = s.head;
  st.logCount = s.count;
  st.sampleSize = s.sample_size;
  st.logInterval = s.interval;
  st.logCapacity = s.capacity;
  st.instHigh = s.inst_high;
  st.instLow = s.inst_low;
  st.avgLow = s.avg_low;
  st.avgHigh = s.avg_high;
  std::memcpy(st.description, s.description.data(), s.description.size());
  std::memcpy(st.systemName, box.system_name.data(), box.system_name.size());
  std::memcpy(st.unit, s.unit.data(), s.unit.size());
  st.timeZone = s.zone;
  std::vector<uint8_t> r(kStatusReplySize);
  encode_status(st, r.data());
  return r;
}

int16_t count_field(const std::optional<ReplyCount>& rc, int asked) {
  if (!rc) return static_cast<int16_t>(asked);
  switch (rc->kind) {
    case ReplyCount::kOver:
      return static_cast<int16_t>(asked + 1);
    case ReplyCount::kZero:
      return 0;
    case ReplyCount::kFixed:
      return rc->fixed;
    case ReplyCount::kAsked:
      break;
  }
  return static_cast<int16_t>(asked);
}

std::vector<uint8_t> data_reply(const Sensor& s, uint8_t port, uint8_t slot, uint16_t start,
                                uint16_t asked, int16_t count) {
  const size_t width = s.sample_size;
  const size_t len = kDataReplyHeaderSize + asked * width;
  if (len > kMaxDatagram || s.ring.empty()) return {};
  std::vector<uint8_t> r(len, 0);
  r[0] = kDataReplyCode;
  r[1] = port;
  r[2] = slot;
  coding::put_u16_le(r.data() + kReqStart, start);
  coding::put_u16_le(r.data() + kDataCount, static_cast<uint16_t>(count));
  for (size_t i = 0; i < asked; ++i) {
    const int32_t v = s.ring[(start + i) % s.ring.size()];
    put_sample(r.data() + kDataReplyHeaderSize + i * width, v, static_cast<int>(width));
  }
  return r;
}

}  // namespace

std::vector<uint8_t> Responder::reply_for(const uint8_t* req, int32_t clock,
                                          const Faults& f) const {
  const uint8_t code = req[kReqCode], port = req[kReqPort], slot_index = req[kReqSlot];
  const bool status = code == kStatusRequestCode;
  const uint16_t start = coding::get_u16_le(req + kReqStart);
  const uint16_t asked = coding::get_u16_le(req + kReqCount);
  const Slot& slot = box_.slot(port, slot_index);
  const Sensor& sensor = this->sensor(port * kBoxSlots + slot_index);
  const size_t width = slot.kind == Slot::kSensor ? sensor.sample_size : 1;
  // An error reply has the length of the reply asked for.
  const size_t reply_len = status ? kStatusReplySize : kDataReplyHeaderSize + asked * width;

  if (status && f.old_firmware) {
    std::vector<uint8_t> r(kOldFirmwareReplySize, 0);
    r[0] = kStatusReplyCode;
    r[1] = port;
    return r;
  }
  if (!password_ok(box_.password, req)) return error_reply(kBoxWrongPassword, port, reply_len);
  switch (slot.kind) {
    case Slot::kError:
      return error_reply(slot.error, port, reply_len);
    case Slot::kAbsent:
      return error_reply(box_.absent_error(port), port, reply_len);
    case Slot::kSensor:
      break;
  }
  if (status) return status_reply(box_, sensor, port, clock);
  return data_reply(sensor, port, slot_index, start, asked, count_field(f.reply_count, asked));
}

const Sensor& Responder::sensor(int index) const {
  return grown_[index] ? *grown_[index] : box_.slots[index].sensor;
}

void Responder::grow(int index) {
  if (!grown_[index]) grown_[index] = box_.slots[index].sensor;
  Sensor& s = *grown_[index];
  const long size = static_cast<long>(s.ring.size());
  if (size == 0) return;
  long head = s.head % size;
  if (head < 0) head += size;
  int32_t value = s.ring[static_cast<size_t>((head + size - 1) % size)];
  for (int i = 0; i < s.gain; ++i) {
    s.ring[static_cast<size_t>(head)] = ++value;
    head = (head + 1) % size;
    if (s.count < size) ++s.count;
    if (s.last_log_time) *s.last_log_time += static_cast<int32_t>(s.interval) * 60;
  }
  s.head = static_cast<int16_t>(head);
}

std::vector<Outgoing> Responder::answer(const uint8_t* req, size_t len, int32_t now) {
  if (len != kRequestSize) return {};
  const uint8_t code = req[kReqCode], port = req[kReqPort], slot_index = req[kReqSlot];
  if (code != kStatusRequestCode && code != kDataRequestCode) return {};
  if (port >= kBoxPorts || slot_index >= kBoxSlots) {
    const size_t width = 1;
    const size_t reply_len =
        code == kStatusRequestCode
            ? kStatusReplySize
            : kDataReplyHeaderSize + coding::get_u16_le(req + kReqCount) * width;
    std::vector<uint8_t> r = error_reply(kBoxPortOffline, port, reply_len);
    if (r.empty()) return {};
    return {Outgoing{r, 0, Source::kBox}};
  }

  const int index = port * kBoxSlots + slot_index;
  const int box_nth = ++box_requests_;
  const int slot_nth = ++slot_requests_[index];
  const Faults& slot_faults = box_.slots[index].faults;
  if (dropped(box_.faults, box_nth) || dropped(slot_faults, slot_nth)) return {};
  const Faults f = merge(box_.faults, slot_faults);
  if (f.silent) return {};

  if (box_.slots[index].kind == Slot::kSensor && box_.slots[index].sensor.gain > 0) {
    if (code == kStatusRequestCode && data_asked_[index]) {
      grow(index);
      data_asked_[index] = false;
    }
    if (code == kDataRequestCode) data_asked_[index] = true;
  }

  const int32_t clock = box_.clock ? *box_.clock : now;
  std::vector<uint8_t> real = reply_for(req, clock, f);
  std::vector<Outgoing> out;

  if (f.flood_count > 0) {
    // Never the answer: every datagram is one byte too long.
    std::vector<uint8_t> junk = real.empty() ? std::vector<uint8_t>(kRequestSize + 1, 0) : real;
    junk.push_back(0);
    for (int k = 0; k < f.flood_count; ++k)
      out.push_back(Outgoing{junk, k * f.flood_interval_ms, Source::kBox});
    return out;
  }
  if (real.empty()) return {};

  auto copy = [&](Source from) { return Outgoing{real, f.late_ms, from}; };
  if (f.junk & kJunkLength) {
    Outgoing o = copy(Source::kBox);
    o.bytes.push_back(0);
    out.push_back(o);
  }
  if (f.junk & kJunkPortByte) {
    Outgoing o = copy(Source::kBox);
    o.bytes[1] = static_cast<uint8_t>((port + 1) % kBoxPorts);
    out.push_back(o);
  }
  if (f.junk & kJunkFrom812) out.push_back(copy(Source::kPort812));
  if (f.junk & kJunkFromAddr) out.push_back(copy(Source::kJunkAddr));
  if (real[0] == kDataReplyCode && code == kDataRequestCode) {
    const uint16_t asked = coding::get_u16_le(req + kReqCount);
    if (f.junk & kJunkCountOver) {
      Outgoing o = copy(Source::kBox);
      coding::put_u16_le(o.bytes.data() + kDataCount, static_cast<uint16_t>(asked + 1));
      out.push_back(o);
    }
    if (f.junk & kJunkCountZero) {
      Outgoing o = copy(Source::kBox);
      coding::put_u16_le(o.bytes.data() + kDataCount, 0);
      out.push_back(o);
    }
  }
  out.push_back(copy(Source::kBox));
  if (f.twice_gap_ms) out.push_back(Outgoing{real, f.late_ms + *f.twice_gap_ms, Source::kBox});
  if (f.stale_copy) {
    // A datagram too long for the client's buffer, then a copy of the reply
    // that is still waiting when the client sends its next request.
    Outgoing oversized = copy(Source::kBox);
    oversized.bytes.resize(std::min(kMaxDatagram, std::max(kOversized, real.size() + 1)), 0);
    out.push_back(oversized);
    out.push_back(copy(Source::kBox));
  }
  return out;
}
