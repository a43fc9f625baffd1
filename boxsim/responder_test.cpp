#include "boxsim/responder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "boxsim/box_file.h"
#include "device/coding.h"
#include "device/messages.h"

namespace {

using Bytes = std::vector<uint8_t>;

Box make_box(const std::string& text) {
  Box box;
  std::string error;
  EXPECT_TRUE(parse_box(text, "t.box", &box, &error)) << error;
  return box;
}

const char* const kTwoSensors = R"(
system Server room
clock 1796685429
password secret
[port 1 slot 1]
type temperature
description Rack inlet
unit C
zone 35
sample_size 2
interval 10
capacity 1000
head 100
count 300
inst_high 27
inst_low 18
avg_low 19
avg_high 25
last_log_time 1796685000
generate 300 ramp -150 1
[port 2 slot 2]
type 5
sample_size 1
samples -1 -2 -3
[port 3 slot 1]
error 0xFB
)";

Bytes status_request(uint8_t port, uint8_t slot, const char* password = "secret") {
  Bytes r(kRequestSize, 0);
  char pw[kPasswordSize] = {};
  std::memcpy(pw, password, std::min(std::strlen(password), sizeof pw));
  put_status_request(r.data(), port, slot, pw);
  return r;
}

Bytes data_request(uint8_t port, uint8_t slot, uint16_t start, uint16_t count,
                   const char* password = "secret") {
  Bytes r = status_request(port, slot, password);
  put_data_request_head(r.data(), port, slot);
  put_data_request_range(r.data(), start, count);
  return r;
}

std::vector<Outgoing> ask(Responder& r, const Bytes& request) {
  return r.answer(request.data(), request.size(), 1234);
}

constexpr uint32_t kBoxIp = 1, kJunkIp = 2;

// How the client judges a datagram sent from `from`.
Verdict judge_status(const Outgoing& o, uint8_t port) {
  const uint32_t ip = o.source == Source::kJunkAddr ? kJunkIp : kBoxIp;
  const uint16_t sport = o.source == Source::kPort812 ? 812 : kBoxPort;
  return judge_status_reply(Datagram{o.bytes.data(), static_cast<int>(o.bytes.size()), ip, sport},
                            Expectation{kBoxIp, kBoxPort, port});
}
Verdict judge_data(const Outgoing& o, uint8_t port, int asked, int size) {
  const uint32_t ip = o.source == Source::kJunkAddr ? kJunkIp : kBoxIp;
  const uint16_t sport = o.source == Source::kPort812 ? 812 : kBoxPort;
  return judge_data_reply(Datagram{o.bytes.data(), static_cast<int>(o.bytes.size()), ip, sport},
                          Expectation{kBoxIp, kBoxPort, port}, asked, size);
}

}  // namespace

TEST(Responder, StatusReplyCarriesTheSensor) {
  const Box box = make_box(kTwoSensors);
  Responder r(box);
  const auto out = ask(r, status_request(0, 0));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].delay_ms, 0);
  EXPECT_EQ(out[0].source, Source::kBox);
  ASSERT_EQ(out[0].bytes.size(), static_cast<size_t>(kStatusReplySize));
  SensorStatus s{};
  decode_status(out[0].bytes.data(), &s);
  EXPECT_EQ(s.replyCode, kStatusReplyCode);
  EXPECT_EQ(s.port, 0);
  EXPECT_EQ(s.sensorType, 1);
  EXPECT_EQ(s.deviceTime, 1796685429);
  EXPECT_EQ(s.lastLogTime, 1796685000);
  EXPECT_EQ(s.logHead, 100);
  EXPECT_EQ(s.logCount, 300);
  EXPECT_EQ(s.sampleSize, 2);
  EXPECT_EQ(s.logInterval, 10);
  EXPECT_EQ(s.logCapacity, 1000);
  EXPECT_EQ(s.instHigh, 27);
  EXPECT_EQ(s.instLow, 18);
  EXPECT_EQ(s.avgLow, 19);
  EXPECT_EQ(s.avgHigh, 25);
  EXPECT_STREQ(s.description, "Rack inlet");
  EXPECT_STREQ(s.systemName, "Server room");
  EXPECT_STREQ(s.unit, "C");
  EXPECT_EQ(s.timeZone, 35);
}

TEST(Responder, OnTheHostClockTheNewestSampleIsOnTheIntervalGrid) {
  struct Case {
    const char* sensor;
    int32_t host_now;
    int32_t last_log;
  };
  const Case cases[] = {
      {"samples 1\n", 1234, 1200},  // default 10 minutes
      {"samples 1\ninterval 1\n", 1799, 1740},
      {"samples 1\ninterval 10\n", 1799, 1200},
      {"samples 1\ninterval 10\n", 1800, 1800},
      {"samples 1\ninterval 0\n", 1799, 1799},          // no grid to keep
      {"samples 1\nlast_log_time 1000\n", 1799, 1000},  // given: kept
  };
  for (const Case& c : cases) {
    const Box box = make_box(std::string("[port 1 slot 1]\n") + c.sensor);
    Responder r(box);
    const Bytes request = status_request(0, 0);
    const auto out = r.answer(request.data(), request.size(), c.host_now);
    ASSERT_EQ(out.size(), 1u) << c.sensor;
    SensorStatus s{};
    decode_status(out[0].bytes.data(), &s);
    EXPECT_EQ(s.deviceTime, c.host_now) << c.sensor;
    EXPECT_EQ(s.lastLogTime, c.last_log) << c.sensor;
  }
}

TEST(Responder, DataReplyWrapsAroundTheRing) {
  const Box box = make_box(kTwoSensors);
  Responder r(box);
  // The log's 300 samples run from index 800 to 99; ask 250 from 900, the
  // last 50 of them past the newest sample, where the ring holds 0.
  const auto out = ask(r, data_request(0, 0, 900, 250));
  ASSERT_EQ(out.size(), 1u);
  const Bytes& b = out[0].bytes;
  ASSERT_EQ(b.size(), 23u + 250 * 2);
  EXPECT_EQ(b[0], kDataReplyCode);
  EXPECT_EQ(b[1], 0);
  EXPECT_EQ(coding::get_i16_le(b.data() + kDataCount), 250);
  for (int i = 0; i < 250; ++i) {
    // Sample k of the log (value k - 150) sits at ring index (800 + k) % 1000.
    const int k = (900 + i - 800) % 1000;
    ASSERT_EQ(coding::get_i16_le(b.data() + 23 + 2 * i), k < 300 ? k - 150 : 0) << i;
  }
  EXPECT_EQ(judge_data(out[0], 0, 250, 2), Verdict::kAccept);
}

TEST(Responder, OneByteSamplesKeepTheirSign) {
  const Box box = make_box(kTwoSensors);
  Responder r(box);
  const auto out = ask(r, data_request(1, 1, 0, 3));
  ASSERT_EQ(out.size(), 1u);
  Bytes want(23, 0);
  want[0] = kDataReplyCode;
  want[1] = 1;  // port
  want[2] = 1;  // slot
  want[5] = 3;  // count
  want.insert(want.end(), {0xFF, 0xFE, 0xFD});
  EXPECT_EQ(out[0].bytes, want);
}

TEST(Responder, ErrorRepliesHaveTheLengthAsked) {
  const Box box = make_box(kTwoSensors);
  struct Case {
    const char* what;
    Bytes request;
    uint8_t code;
    size_t len;
  };
  const Case cases[] = {
      {"wrong password, status", status_request(0, 0, "secreT"), kBoxWrongPassword, 132},
      {"wrong password, data", data_request(0, 0, 0, 7, "x"), kBoxWrongPassword, 23 + 14},
      {"error slot", status_request(2, 0), 0xFB, 132},
      {"error slot, data", data_request(2, 0, 0, 5), 0xFB, 28},
      {"empty port is offline", status_request(4, 1), kBoxPortOffline, 132},
      {"free slot beside a sensor", status_request(0, 1), kBoxNoDatalog, 132},
      {"free slot, data", data_request(1, 0, 0, 9), kBoxNoDatalog, 32},
      {"port 9", status_request(8, 0), kBoxPortOffline, 132},
      {"slot 3", data_request(0, 2, 0, 4), kBoxPortOffline, 27},
  };
  for (const Case& c : cases) {
    Responder r(box);
    const auto out = ask(r, c.request);
    ASSERT_EQ(out.size(), 1u) << c.what;
    EXPECT_EQ(out[0].bytes[0], c.code) << c.what;
    EXPECT_EQ(out[0].bytes[1], c.request[1]) << c.what;
    EXPECT_EQ(out[0].bytes.size(), c.len) << c.what;
  }
}

TEST(Responder, PasswordOf16OrMoreComparesTheFirst16Bytes) {
  const Box box = make_box("password 0123456789abcdefXYZ\n[port 1 slot 1]\nsamples 1\n");
  Responder r(box);
  EXPECT_EQ(ask(r, status_request(0, 0, "0123456789abcdef"))[0].bytes[0], kStatusReplyCode);
  EXPECT_EQ(ask(r, status_request(0, 0, "0123456789abcde"))[0].bytes[0], kBoxWrongPassword);
}

TEST(Responder, IgnoresWhatIsNotARequest) {
  const Box box = make_box(kTwoSensors);
  Responder r(box);
  Bytes shorter = status_request(0, 0);
  shorter.pop_back();
  Bytes other_code = status_request(0, 0);
  other_code[0] = 4;
  EXPECT_TRUE(ask(r, shorter).empty());
  EXPECT_TRUE(ask(r, other_code).empty());
}

TEST(Responder, DropsTheRequestsItIsTold) {
  // Box-wide drop_first 1 and, for port 1 slot 1, its own second request.
  Box box = make_box("drop_first 1\n[port 1 slot 1]\nsamples 1\ndrop_request 2\n");
  Responder r(box);
  std::vector<size_t> answered;
  const Bytes req[] = {status_request(0, 0), status_request(0, 0), status_request(0, 0),
                       status_request(1, 0), status_request(0, 0)};
  for (const Bytes& q : req) answered.push_back(ask(r, q).size());
  EXPECT_EQ(answered, (std::vector<size_t>{0, 0, 1, 1, 1}));
}

TEST(Responder, SilentAndOldFirmware) {
  Box box = make_box("[port 1 slot 1]\nsamples 1\nold_firmware\n[port 2 slot 1]\nsilent\n");
  Responder r(box);
  const auto old = ask(r, status_request(0, 0));
  ASSERT_EQ(old.size(), 1u);
  EXPECT_EQ(old[0].bytes.size(), static_cast<size_t>(kOldFirmwareReplySize));
  EXPECT_EQ(judge_status(old[0], 0), Verdict::kOldFirmware);
  // Data requests still get data.
  EXPECT_EQ(ask(r, data_request(0, 0, 0, 1))[0].bytes[0], kDataReplyCode);
  EXPECT_TRUE(ask(r, status_request(1, 0)).empty());
  box.faults.silent = true;
  Responder all_silent(box);
  EXPECT_TRUE(ask(all_silent, data_request(0, 0, 0, 1)).empty());
}

TEST(Responder, JunkComesFirstAndIsDroppedByTheClient) {
  Box box =
      make_box(std::string(kTwoSensors) + "[box]\njunk length port_byte from_812 from_addr\n" +
               "junk count_over count_zero\n");
  Responder r(box);
  const auto status = ask(r, status_request(0, 0));
  ASSERT_EQ(status.size(), 5u) << "the count kinds add nothing to a status reply";
  for (size_t i = 0; i + 1 < status.size(); ++i)
    EXPECT_EQ(judge_status(status[i], 0), Verdict::kDrop) << i;
  EXPECT_EQ(judge_status(status.back(), 0), Verdict::kAccept);
  EXPECT_EQ(status[2].source, Source::kPort812);
  EXPECT_EQ(status[3].source, Source::kJunkAddr);

  const auto data = ask(r, data_request(0, 0, 800, 286));
  ASSERT_EQ(data.size(), 7u);
  for (size_t i = 0; i + 1 < data.size(); ++i) {
    EXPECT_EQ(judge_data(data[i], 0, 286, 2), Verdict::kDrop) << i;
    EXPECT_EQ(data[i].delay_ms, 0);
  }
  EXPECT_EQ(judge_data(data.back(), 0, 286, 2), Verdict::kAccept);
}

TEST(Responder, TwiceAndLate) {
  Box box = make_box(std::string(kTwoSensors) + "[box]\ntwice 30\nlate 200\n");
  Responder r(box);
  const auto out = ask(r, status_request(0, 0));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].delay_ms, 200);
  EXPECT_EQ(out[1].delay_ms, 230);
  EXPECT_EQ(out[0].bytes, out[1].bytes);
  // The slot's own twice wins over the box's; the longer late applies.
  box.slot(0, 0).faults.twice_gap_ms = 5;
  box.slot(0, 0).faults.late_ms = 300;
  Responder r2(box);
  const auto out2 = ask(r2, status_request(0, 0));
  ASSERT_EQ(out2.size(), 2u);
  EXPECT_EQ(out2[0].delay_ms, 300);
  EXPECT_EQ(out2[1].delay_ms, 305);
  const auto other = ask(r2, status_request(1, 1));
  ASSERT_EQ(other.size(), 2u);
  EXPECT_EQ(other[0].delay_ms, 200);
  EXPECT_EQ(other[1].delay_ms, 230);
}

// Behind each reply: a datagram longer than any client buffer, then a copy
// of the reply that fits a next request of the same length.
TEST(Responder, StaleCopyFollowsEachReply) {
  const Box box = make_box(std::string(kTwoSensors) + "[box]\nstale_copy\nlate 40\n");
  Responder r(box);
  for (const Bytes& request : {status_request(0, 0), data_request(0, 0, 800, 286)}) {
    const auto out = ask(r, request);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[1].bytes.size(), 2000u);
    EXPECT_EQ(out[2].bytes, out[0].bytes);
    for (const Outgoing& o : out) {
      EXPECT_EQ(o.delay_ms, 40);
      EXPECT_EQ(o.source, Source::kBox);
    }
    if (request[kReqCode] == kDataRequestCode) {
      EXPECT_EQ(judge_data(out[2], 0, 286, 2), Verdict::kAccept) << "fits a next ask of 286";
    }
  }
}

TEST(Responder, FloodNeverAnswers) {
  Box box = make_box("[port 1 slot 1]\nsamples 1 2\nflood 40 25\n[port 3 slot 1]\nerror 0xFB\n");
  Responder r(box);
  const auto out = ask(r, status_request(0, 0));
  ASSERT_EQ(out.size(), 40u);
  for (size_t i = 0; i < out.size(); ++i) {
    EXPECT_EQ(out[i].delay_ms, static_cast<int>(25 * i));
    EXPECT_EQ(judge_status(out[i], 0), Verdict::kDrop);
  }
  const auto data = ask(r, data_request(0, 0, 0, 10));
  ASSERT_EQ(data.size(), 40u);
  EXPECT_EQ(judge_data(data[0], 0, 10, 2), Verdict::kDrop);
  EXPECT_EQ(judge_data(data[0], 0, 10, 1), Verdict::kDrop);
  // Other slots are not flooded.
  EXPECT_EQ(ask(r, status_request(2, 0)).size(), 1u);
}

TEST(Responder, ReplyCountOverrides) {
  struct Case {
    const char* value;
    int16_t count;
  };
  const Case cases[] = {{"over", 11}, {"zero", 0}, {"-3", -3}, {"asked", 10}};
  for (const Case& c : cases) {
    Box box = make_box(kTwoSensors);
    bool known;
    std::string error;
    ASSERT_TRUE(set_fault(&box.faults, "reply_count", c.value, &known, &error)) << error;
    Responder r(box);
    const auto out = ask(r, data_request(0, 0, 0, 10));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].bytes.size(), 23u + 20) << "the length still fits the ask";
    EXPECT_EQ(coding::get_i16_le(out[0].bytes.data() + kDataCount), c.count) << c.value;
  }
}

TEST(Responder, HostileSampleSizesStillAnswer) {
  const Box box = make_box(
      "[port 1 slot 1]\nsample_size 0\ncapacity 0\nsamples 5\n"
      "[port 1 slot 2]\nsample_size 3\nsamples 0x010203 -1\n");
  Responder r(box);
  const auto zero = ask(r, data_request(0, 0, 3, 4));
  ASSERT_EQ(zero.size(), 1u);
  EXPECT_EQ(zero[0].bytes.size(), 23u);
  const auto three = ask(r, data_request(0, 1, 0, 2));
  ASSERT_EQ(three.size(), 1u);
  EXPECT_EQ(Bytes(three[0].bytes.begin() + 23, three[0].bytes.end()),
            (Bytes{3, 2, 1, 0xFF, 0xFF, 0xFF}));
}

TEST(Responder, RefusesRepliesTooLongForADatagram) {
  const Box box = make_box("[port 1 slot 1]\nsample_size 255\nsamples 1\n");
  Responder r(box);
  EXPECT_TRUE(ask(r, data_request(0, 0, 0, 60000)).empty());
  EXPECT_EQ(ask(r, data_request(0, 0, 0, 2)).size(), 1u);
}

// A status request after a data request of the slot finds `gain` more
// samples, each one above the last, the head and the newest time moved on;
// without a download between them, two status requests see the same log.
TEST(Responder, GainLogsNewSamplesBetweenDownloads) {
  const Box box = make_box(
      "clock 1796685429\n[port 1 slot 1]\ncapacity 5\ninterval 10\nlast_log_time 1796685000\n"
      "samples 1 2 3 4\ngain 3\n[port 1 slot 2]\nsamples 9\n");
  Responder r(box);
  const auto status = [&r](uint8_t slot) {
    SensorStatus s{};
    decode_status(ask(r, status_request(0, slot)).at(0).bytes.data(), &s);
    return s;
  };
  const auto data = [&r](uint16_t start, uint16_t count) {
    const Bytes b = ask(r, data_request(0, 0, start, count)).at(0).bytes;
    std::vector<int> v;
    for (int i = 0; i < count; ++i) v.push_back(coding::get_i16_le(b.data() + 23 + 2 * i));
    return v;
  };
  for (int i = 0; i < 2; ++i) {
    const SensorStatus s = status(0);
    EXPECT_EQ(s.logHead, 4);
    EXPECT_EQ(s.logCount, 4);
    EXPECT_EQ(s.lastLogTime, 1796685000);
  }
  EXPECT_EQ(data(0, 4), (std::vector<int>{1, 2, 3, 4}));
  status(1);  // another slot's request does not count
  for (int i = 0; i < 2; ++i) {
    const SensorStatus s = status(0);
    EXPECT_EQ(s.logHead, 2);
    EXPECT_EQ(s.logCount, 5);
    EXPECT_EQ(s.lastLogTime, 1796685000 + 3 * 600);
  }
  EXPECT_EQ(data(2, 5), (std::vector<int>{3, 4, 5, 6, 7}));
  EXPECT_EQ(status(0).logHead, 0);
  EXPECT_EQ(data(0, 5), (std::vector<int>{6, 7, 8, 9, 10}));
}
