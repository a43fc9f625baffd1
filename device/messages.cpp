#include "device/messages.h"

#include <cctype>
#include <cstring>

#include "device/coding.h"

// clang-format off
const char* const sensor_type_names[kSensorTypeCount] = {
    "",           "temperature", "4-20ma",  "humidity", "water",  "atod",
    "security",   "",            "airflow", "",         "airflow", "",
    "drycontact", "",            "voltage", "relay",    "motion", "",
};
// clang-format on

const char* sensor_type_name(uint8_t code) {
  return code < kSensorTypeCount ? sensor_type_names[code] : "";
}

bool is_tenths_type(uint8_t code) { return code == 2 || code == 5; }

void decode_status(const uint8_t* r, SensorStatus* s) {
  s->replyCode = r[kStCode];
  s->port = r[kStPort];
  s->sensorType = r[kStType];
  s->deviceTime = coding::get_i32_be(r + kStDeviceTime);
  s->lastLogTime = coding::get_i32_be(r + kStLastLogTime);
  s->logHead = coding::get_i16_be(r + kStHead);
  s->logCount = coding::get_i16_be(r + kStCount);
  s->sampleSize = r[kStSampleSize];
  s->logInterval = r[kStInterval];
  s->logCapacity = coding::get_i16_be(r + kStCapacity);
  s->instHigh = coding::get_i16_le(r + kStInstHigh);
  s->instLow = coding::get_i16_le(r + kStInstLow);
  s->avgLow = coding::get_i16_le(r + kStAvgLow);
  s->avgHigh = coding::get_i16_le(r + kStAvgHigh);
  std::memcpy(s->description, r + kStDescription, kDescriptionSize);
  std::memcpy(s->systemName, r + kStSystemName, kSystemNameSize);
  std::memcpy(s->unit, r + kStUnit, kUnitSize);
  s->timeZone = r[kStTimeZone];
}

void encode_status(const SensorStatus& s, uint8_t* r) {
  std::memset(r, 0, kStatusReplySize);
  r[kStCode] = s.replyCode;
  r[kStPort] = s.port;
  r[kStType] = s.sensorType;
  coding::put_u32_be(r + kStDeviceTime, static_cast<uint32_t>(s.deviceTime));
  coding::put_u32_be(r + kStLastLogTime, static_cast<uint32_t>(s.lastLogTime));
  coding::put_u16_be(r + kStHead, static_cast<uint16_t>(s.logHead));
  coding::put_u16_be(r + kStCount, static_cast<uint16_t>(s.logCount));
  r[kStSampleSize] = s.sampleSize;
  r[kStInterval] = s.logInterval;
  coding::put_u16_be(r + kStCapacity, static_cast<uint16_t>(s.logCapacity));
  coding::put_u16_le(r + kStInstHigh, static_cast<uint16_t>(s.instHigh));
  coding::put_u16_le(r + kStInstLow, static_cast<uint16_t>(s.instLow));
  coding::put_u16_le(r + kStAvgLow, static_cast<uint16_t>(s.avgLow));
  coding::put_u16_le(r + kStAvgHigh, static_cast<uint16_t>(s.avgHigh));
  std::memcpy(r + kStDescription, s.description, kDescriptionSize);
  std::memcpy(r + kStSystemName, s.systemName, kSystemNameSize);
  std::memcpy(r + kStUnit, s.unit, kUnitSize);
  r[kStTimeZone] = s.timeZone;
}

void put_status_request(uint8_t* buf, uint8_t port, uint8_t slot, const char* password16) {
  buf[kReqCode] = kStatusRequestCode;
  buf[kReqPort] = port;
  buf[kReqSlot] = slot;
  std::memcpy(buf + kReqPassword, password16, kPasswordSize);
}

void put_data_request_head(uint8_t* buf, uint8_t port, uint8_t slot) {
  buf[kReqCode] = kDataRequestCode;
  buf[kReqPort] = port;
  buf[kReqSlot] = slot;
}

void put_data_request_range(uint8_t* buf, uint16_t start, uint16_t count) {
  coding::put_u16_le(buf + kReqStart, start);
  coding::put_u16_le(buf + kReqCount, count);
}

int chunk_samples(int sample_size) { return kMaxChunkBytes / sample_size; }

int first_ring_index(int16_t head, int16_t count, int16_t capacity) {
  int first = head - count;
  if (first < 0) first += capacity;
  return first;
}

bool datalog_is_valid(const SensorStatus& s) {
  if (s.sampleSize != 1 && s.sampleSize != 2 && s.sampleSize != 4) return false;
  if (s.logCapacity < 1) return false;
  if (s.logCount < 0 || s.logCount > s.logCapacity) return false;
  if (s.logHead < 0 || s.logHead > s.logCapacity) return false;
  return true;
}

namespace {
bool from_box(const Datagram& d, const Expectation& e) {
  return d.from_ip == e.box_ip && d.from_port == e.box_port;
}
}  // namespace

bool answers_status_request(const Datagram& d, const Expectation& e) {
  return d.len == kStatusReplySize && d.data[1] == e.port && from_box(d, e);
}

Verdict judge_status_reply(const Datagram& d, const Expectation& e) {
  if (d.len == kOldFirmwareReplySize) return Verdict::kOldFirmware;
  if (!answers_status_request(d, e)) return Verdict::kDrop;
  if (d.data[0] == kStatusReplyCode) return Verdict::kAccept;
  if (d.data[0] & 0x80) return Verdict::kBoxError;
  return Verdict::kDrop;
}

Verdict judge_data_reply(const Datagram& d, const Expectation& e, int asked_count,
                         int sample_size) {
  const int expected = asked_count * sample_size + kDataReplyHeaderSize;
  if (d.len != expected || d.data[1] != e.port || !from_box(d, e)) return Verdict::kDrop;
  if (d.data[0] == kDataReplyCode) {
    const int count = coding::get_i16_le(d.data + kDataCount);
    return (count >= 1 && count <= asked_count) ? Verdict::kAccept : Verdict::kDrop;
  }
  if (d.data[0] & 0x80) return Verdict::kBoxError;
  return Verdict::kDrop;
}

namespace {
// One part of a dotted address: decimal, 0-prefixed octal or 0x-prefixed hex.
bool parse_part(const char*& p, uint32_t* out) {
  int base = 10;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    base = 16;
    p += 2;
    if (!std::isxdigit(static_cast<unsigned char>(*p))) return false;
  } else if (p[0] == '0') {
    base = 8;
  } else if (!std::isdigit(static_cast<unsigned char>(*p))) {
    return false;
  }
  uint64_t v = 0;
  for (;; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && std::isxdigit(c)) {
      digit = std::tolower(c) - 'a' + 10;
    } else {
      break;
    }
    if (digit >= base) return false;
    v = v * base + digit;
    if (v > 0xFFFFFFFFu) return false;
  }
  *out = static_cast<uint32_t>(v);
  return true;
}
}  // namespace

bool parse_ipv4(const char* text, uint32_t* addr) {
  if (text == nullptr) return false;
  uint32_t parts[4];
  int n = 0;
  const char* p = text;
  for (;;) {
    if (n == 4 || !parse_part(p, &parts[n])) return false;
    ++n;
    if (*p == '\0') break;
    if (*p != '.') return false;
    ++p;
  }
  // The last part fills the bytes that the earlier ones leave.
  uint32_t host;
  switch (n) {
    case 1:
      host = parts[0];
      break;
    case 2:
      if (parts[0] > 0xFF || parts[1] > 0xFFFFFF) return false;
      host = (parts[0] << 24) | parts[1];
      break;
    case 3:
      if (parts[0] > 0xFF || parts[1] > 0xFF || parts[2] > 0xFFFF) return false;
      host = (parts[0] << 24) | (parts[1] << 16) | parts[2];
      break;
    default:
      for (int i = 0; i < 4; ++i)
        if (parts[i] > 0xFF) return false;
      host = (parts[0] << 24) | (parts[1] << 16) | (parts[2] << 8) | parts[3];
      break;
  }
  uint8_t bytes[4];
  coding::put_u32_be(bytes, host);
  std::memcpy(addr, bytes, 4);  // network order in memory
  return true;
}
