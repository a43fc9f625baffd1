#include "device/messages.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "device/coding.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t ip(const char* dotted) {
  in_addr a{};
  EXPECT_EQ(inet_pton(AF_INET, dotted, &a), 1) << dotted;
  return a.s_addr;
}

Bytes hex(const char* text) {
  Bytes out;
  for (const char* p = text; *p;) {
    if (*p == ' ') {
      ++p;
      continue;
    }
    out.push_back(static_cast<uint8_t>(std::stoi(std::string(p, 2), nullptr, 16)));
    p += 2;
  }
  return out;
}

TEST(Coding, FieldsInBothByteOrders) {
  const Bytes b = hex("80 00 FE FF 01 2C 2C 01 FF FF FF FF 00 00 00 80");
  EXPECT_EQ(coding::get_i16_be(&b[0]), -32768);
  EXPECT_EQ(coding::get_i16_le(&b[0]), 128);
  EXPECT_EQ(coding::get_i16_le(&b[2]), -2);
  EXPECT_EQ(coding::get_i16_be(&b[4]), 300);
  EXPECT_EQ(coding::get_i16_le(&b[6]), 300);
  EXPECT_EQ(coding::get_i32_le(&b[8]), -1);
  EXPECT_EQ(coding::get_i32_le(&b[12]), INT32_MIN);
  EXPECT_EQ(coding::get_i32_be(&b[12]), 128);
  EXPECT_EQ(coding::get_i8(&b[0]), -128);
  EXPECT_EQ(coding::get_i8(&b[2]), -2);

  uint8_t out[4];
  coding::put_u32_be(out, 0x0A0B0C0D);
  EXPECT_EQ(Bytes(out, out + 4), hex("0A 0B 0C 0D"));
  coding::put_u32_le(out, 0x0A0B0C0D);
  EXPECT_EQ(Bytes(out, out + 4), hex("0D 0C 0B 0A"));
  coding::put_u16_be(out, 0x8001);
  coding::put_u16_le(out + 2, 0x8001);
  EXPECT_EQ(Bytes(out, out + 4), hex("80 01 01 80"));
}

// A status reply written out byte by byte, with every field set apart from
// its neighbours.
Bytes literal_status_reply() {
  Bytes r(kStatusReplySize, 0);
  const Bytes head =
      hex("04 03 0A"        // code, port, type
          " 6B 17 9A 75"    // deviceTime
          " 80 00 00 00"    // lastLogTime
          " 80 00"          // logHead
          " 01 2C"          // logCount
          " 02 0F"          // sampleSize, logInterval
          " 07 D0"          // logCapacity
          " 2C 01 FE FF"    // instHigh, instLow (LE)
          " 00 80 FF 7F");  // avgLow, avgHigh (LE)
  std::copy(head.begin(), head.end(), r.begin());
  for (int i = 27; i < 43; ++i) r[i] = 0xAA;  // not read
  std::memcpy(&r[43], "Rack inlet", 10);
  std::memset(&r[79], 'S', 36);  // fills its width, no zero byte
  std::memcpy(&r[115], "degC", 4);
  r[131] = 41;
  return r;
}

TEST(StatusReply, DecodesEveryField) {
  const Bytes r = literal_status_reply();
  SensorStatus s{};
  std::memcpy(s.password, "secret", 7);
  decode_status(r.data(), &s);

  EXPECT_EQ(s.replyCode, 4);
  EXPECT_EQ(s.port, 3);
  EXPECT_EQ(s.sensorType, 10);
  EXPECT_EQ(s.deviceTime, 0x6B179A75);
  EXPECT_EQ(s.lastLogTime, INT32_MIN);
  EXPECT_EQ(s.logHead, -32768);
  EXPECT_EQ(s.logCount, 300);
  EXPECT_EQ(s.sampleSize, 2);
  EXPECT_EQ(s.logInterval, 15);
  EXPECT_EQ(s.logCapacity, 2000);
  EXPECT_EQ(s.instHigh, 300);  // not 11265: the readings are little-endian
  EXPECT_EQ(s.instLow, -2);
  EXPECT_EQ(s.avgLow, -32768);
  EXPECT_EQ(s.avgHigh, 32767);
  EXPECT_STREQ(s.password, "secret");  // never taken from the reply
  EXPECT_STREQ(s.description, "Rack inlet");
  EXPECT_EQ(std::string(s.systemName, 36), std::string(36, 'S'));
  EXPECT_STREQ(s.unit, "degC");
  EXPECT_EQ(s.timeZone, 41);

  Bytes again(kStatusReplySize);
  encode_status(s, again.data());
  Bytes expected = r;
  std::fill(expected.begin() + 27, expected.begin() + 43, 0);
  EXPECT_EQ(again, expected);
}

TEST(Requests, WriteOnlyTheirOwnBytes) {
  uint8_t buf[32];
  std::memset(buf, 0x55, sizeof buf);
  const char password[16] = {'p', 'w'};
  put_status_request(buf, 5, 1, password);
  EXPECT_EQ(Bytes(buf, buf + 24),
            hex("02 05 01 55 55 55 55 70 77 00 00 00 00 00 00 00 00 00 00 00 00 00 00 55"));

  // A data request keeps the password; the next status request keeps the
  // data request's start and count.
  put_data_request_head(buf, 6, 0);
  put_data_request_range(buf, 1000, 573);
  EXPECT_EQ(Bytes(buf, buf + 24),
            hex("03 06 00 E8 03 3D 02 70 77 00 00 00 00 00 00 00 00 00 00 00 00 00 00 55"));
  put_status_request(buf, 7, 1, password);
  EXPECT_EQ(Bytes(buf, buf + 7), hex("02 07 01 E8 03 3D 02"));
}

TEST(SensorTypes, NameWordsAndTenths) {
  const struct {
    int code;
    const char* name;
    bool tenths;
  } cases[] = {
      {0, "", false},         {1, "temperature", false}, {2, "4-20ma", true},
      {3, "humidity", false}, {5, "atod", true},         {7, "", false},
      {8, "airflow", false},  {10, "airflow", false},    {12, "drycontact", false},
      {16, "motion", false},  {17, "", false},           {18, "", false},
      {255, "", false},
  };
  for (const auto& c : cases) {
    EXPECT_STREQ(sensor_type_name(static_cast<uint8_t>(c.code)), c.name) << c.code;
    EXPECT_EQ(is_tenths_type(static_cast<uint8_t>(c.code)), c.tenths) << c.code;
  }
}

TEST(Ring, ChunksAndFirstIndex) {
  EXPECT_EQ(chunk_samples(1), 1146);
  EXPECT_EQ(chunk_samples(2), 573);
  EXPECT_EQ(chunk_samples(4), 286);

  const struct {
    int head, count, capacity, first;
  } cases[] = {
      {100, 1500, 2000, 600}, {100, 300, 1000, 800}, {500, 300, 1000, 200},
      {0, 0, 10, 0},          {1000, 1000, 1000, 0}, {0, 32767, 32767, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(first_ring_index(static_cast<int16_t>(c.head), static_cast<int16_t>(c.count),
                               static_cast<int16_t>(c.capacity)),
              c.first)
        << c.head << " " << c.count << " " << c.capacity;
  }
}

TEST(Ring, DatalogValidity) {
  const struct {
    int size, capacity, head, count;
    bool valid;
  } cases[] = {
      {2, 1000, 100, 300, true},  {1, 1, 0, 1, true},         {4, 32767, 32767, 32767, true},
      {2, 1000, 100, 0, true},    {0, 1000, 100, 300, false}, {3, 1000, 100, 300, false},
      {8, 1000, 100, 300, false}, {2, 0, 0, 0, false},        {2, -5, 0, 0, false},
      {2, 1000, 100, -1, false},  {2, 1000, 100, 1000, true}, {2, 1000, 100, 1001, false},
      {2, 1000, -1, 300, false},  {2, 1000, 1000, 300, true}, {2, 1000, 1001, 300, false},
  };
  for (const auto& c : cases) {
    SensorStatus s{};
    s.sampleSize = static_cast<uint8_t>(c.size);
    s.logCapacity = static_cast<int16_t>(c.capacity);
    s.logHead = static_cast<int16_t>(c.head);
    s.logCount = static_cast<int16_t>(c.count);
    EXPECT_EQ(datalog_is_valid(s), c.valid)
        << c.size << " " << c.capacity << " " << c.head << " " << c.count;
  }
}

constexpr uint16_t kPort = 811;
const char* const kBox = "10.1.2.3";

struct JudgeCase {
  const char* what;
  Bytes bytes;
  const char* from = kBox;
  uint16_t from_port = kPort;
  Verdict verdict;
};

Bytes reply_bytes(int len, uint8_t code, uint8_t port) {
  Bytes b(len, 0x11);
  b[0] = code;
  if (len > 1) b[1] = port;
  return b;
}

TEST(Judge, StatusReplies) {
  const Bytes good = reply_bytes(132, 4, 3);
  const JudgeCase cases[] = {
      {"good", good, kBox, kPort, Verdict::kAccept},
      {"other address", good, "10.1.2.4", kPort, Verdict::kDrop},
      {"other source port", good, kBox, 812, Verdict::kDrop},
      {"131 bytes", reply_bytes(131, 4, 3), kBox, kPort, Verdict::kDrop},
      {"133 bytes", reply_bytes(133, 4, 3), kBox, kPort, Verdict::kDrop},
      {"other port byte", reply_bytes(132, 4, 4), kBox, kPort, Verdict::kDrop},
      {"data reply code", reply_bytes(132, 1, 3), kBox, kPort, Verdict::kDrop},
      {"code 0x7F", reply_bytes(132, 0x7F, 3), kBox, kPort, Verdict::kDrop},
      {"wrong password", reply_bytes(132, 0xFA, 3), kBox, kPort, Verdict::kBoxError},
      {"code 0x80", reply_bytes(132, 0x80, 3), kBox, kPort, Verdict::kBoxError},
      {"error, short", reply_bytes(24, 0xFA, 3), kBox, kPort, Verdict::kDrop},
      {"error, other port byte", reply_bytes(132, 0xFD, 2), kBox, kPort, Verdict::kDrop},
      {"error, other address", reply_bytes(132, 0xFD, 3), "10.1.2.4", kPort, Verdict::kDrop},
      {"124 bytes", reply_bytes(124, 4, 3), kBox, kPort, Verdict::kOldFirmware},
      {"124 bytes from anyone", reply_bytes(124, 0, 0), "127.9.9.9", 40000, Verdict::kOldFirmware},
      {"empty", Bytes{}, kBox, kPort, Verdict::kDrop},
  };
  const Expectation e{ip(kBox), kPort, 3};
  for (const auto& c : cases) {
    const Datagram d{c.bytes.data(), static_cast<int>(c.bytes.size()), ip(c.from), c.from_port};
    EXPECT_EQ(judge_status_reply(d, e), c.verdict) << c.what;
  }
}

Bytes data_bytes(int asked, int size, int count_field, uint8_t code = 1, uint8_t port = 3) {
  Bytes b = reply_bytes(asked * size + 23, code, port);
  coding::put_u16_le(&b[5], static_cast<uint16_t>(count_field));
  return b;
}

TEST(Judge, DataReplies) {
  // 10 two-byte samples asked for: 43 bytes expected.
  const JudgeCase cases[] = {
      {"good", data_bytes(10, 2, 10), kBox, kPort, Verdict::kAccept},
      {"count 1", data_bytes(10, 2, 1), kBox, kPort, Verdict::kAccept},
      {"count 0", data_bytes(10, 2, 0), kBox, kPort, Verdict::kDrop},
      {"count -1", data_bytes(10, 2, 0xFFFF), kBox, kPort, Verdict::kDrop},
      {"count -32768", data_bytes(10, 2, 0x8000), kBox, kPort, Verdict::kDrop},
      {"count above asked", data_bytes(10, 2, 11), kBox, kPort, Verdict::kDrop},
      {"one sample short", data_bytes(9, 2, 9), kBox, kPort, Verdict::kDrop},
      {"44 bytes", reply_bytes(44, 1, 3), kBox, kPort, Verdict::kDrop},
      {"other port byte", data_bytes(10, 2, 10, 1, 4), kBox, kPort, Verdict::kDrop},
      {"other address", data_bytes(10, 2, 10), "10.1.2.4", kPort, Verdict::kDrop},
      {"other source port", data_bytes(10, 2, 10), kBox, 812, Verdict::kDrop},
      {"status reply code", data_bytes(10, 2, 10, 4), kBox, kPort, Verdict::kDrop},
      {"box error", data_bytes(10, 2, 0, 0xFD), kBox, kPort, Verdict::kBoxError},
      {"box error, 132 bytes", reply_bytes(132, 0xFD, 3), kBox, kPort, Verdict::kDrop},
      {"124 bytes", reply_bytes(124, 1, 3), kBox, kPort, Verdict::kDrop},
  };
  const Expectation e{ip(kBox), kPort, 3};
  for (const auto& c : cases) {
    const Datagram d{c.bytes.data(), static_cast<int>(c.bytes.size()), ip(c.from), c.from_port};
    EXPECT_EQ(judge_data_reply(d, e, 10, 2), c.verdict) << c.what;
  }

  // The largest reply: 286 four-byte samples.
  const Bytes big = data_bytes(286, 4, 286);
  ASSERT_EQ(big.size(), 286u * 4 + 23);
  const Datagram d{big.data(), static_cast<int>(big.size()), ip(kBox), kPort};
  EXPECT_EQ(judge_data_reply(d, e, 286, 4), Verdict::kAccept);
  EXPECT_EQ(judge_data_reply(d, e, 14, 4), Verdict::kDrop);
}

TEST(ParseIpv4, ReadsTheFormsOfInetAton) {
  const struct {
    const char* text;
    const char* dotted;  // nullptr: rejected
  } cases[] = {
      {"192.168.0.10", "192.168.0.10"},
      {"127.1", "127.0.0.1"},
      {"0x7f.1", "127.0.0.1"},
      {"0X1F.1", "31.0.0.1"},
      {"010.0.0.1", "8.0.0.1"},
      {"1.2.65535", "1.2.255.255"},
      {"1.16777215", "1.255.255.255"},
      {"4294967295", "255.255.255.255"},
      {"0xffffffff", "255.255.255.255"},
      {"00", "0.0.0.0"},
      {"999.1.1.1", nullptr},
      {"box", nullptr},
      {"", nullptr},
      {"1.2.3.4.5", nullptr},
      {"1..2", nullptr},
      {".1", nullptr},
      {"1.", nullptr},
      {"08", nullptr},
      {"09.1.1.1", nullptr},
      {"0x", nullptr},
      {"1.0x", nullptr},
      {"4294967296", nullptr},
      {"1.2.65536", nullptr},
      {"1.16777216", nullptr},
      {"256.0.0.1", nullptr},
      {" 1.2.3.4", nullptr},
      {"+1", nullptr},
      {"1.-1", nullptr},
      {"1e1", nullptr},
  };
  for (const auto& c : cases) {
    uint32_t got = 0;
    const bool ok = parse_ipv4(c.text, &got);
    EXPECT_EQ(ok, c.dotted != nullptr) << "'" << c.text << "'";
    if (ok && c.dotted) {
      EXPECT_EQ(got, ip(c.dotted)) << c.text;
    }

    // The C library's own reader agrees on every one of them.
    in_addr libc{};
    const bool libc_ok = inet_aton(c.text, &libc) != 0;
    EXPECT_EQ(ok, libc_ok) << "'" << c.text << "'";
    if (ok && libc_ok) {
      EXPECT_EQ(got, libc.s_addr) << c.text;
    }
  }
  uint32_t unused;
  EXPECT_FALSE(parse_ipv4(nullptr, &unused));
}

}  // namespace
