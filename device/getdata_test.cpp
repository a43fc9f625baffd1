#include "device/getdata.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "device/coding.h"
#include "tests/support/fake_box.h"

// Each test talks to its own fake box on 127.0.1.N (N unique per test), and
// sends its wrong-address replies from 127.0.2.N, so the tests can run side
// by side.
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWait = 200;  // ms, the reply wait of every connection here

std::string box_addr(int n) { return "127.0.1." + std::to_string(n); }
std::string other_addr(int n) { return "127.0.2." + std::to_string(n); }

long long ms_since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Distinct values of both signs that fit the sample width.
int32_t ring_value(int i, int size) {
  const uint32_t h = static_cast<uint32_t>(i + 1) * 2654435761u;
  if (size == 1) return static_cast<int8_t>(h >> 24);
  if (size == 2) return static_cast<int16_t>(h >> 16);
  return static_cast<int32_t>(h);
}

FakeSensor make_sensor(uint8_t port, int16_t capacity, int16_t head, int16_t count, uint8_t size,
                       int salt = 0) {
  FakeSensor s;
  s.status = make_status(port, 1, capacity, head, count, size);
  for (int i = 0; i < capacity; ++i) s.ring.push_back(ring_value(i + salt, size));
  return s;
}

// The samples a download must yield: the ring read from its oldest entry.
std::vector<int32_t> oldest_first(const FakeSensor& s) {
  const SensorStatus& st = s.status;
  std::vector<int32_t> out;
  const int first = first_ring_index(st.logHead, st.logCount, st.logCapacity);
  for (int i = 0; i < st.logCount; ++i) out.push_back(s.ring[(first + i) % st.logCapacity]);
  return out;
}

// The connection's events, in order, as text.
struct heard : link_listener {
  std::vector<std::string> events;
  void startup_failed(int error) override { add("startup_failed", error); }
  void no_socket(int error, bool select_failed) override {
    add(select_failed ? "no_socket select" : "no_socket", error);
  }
  void empty_log(int port_shown) override { add("empty_log", port_shown); }
  void send_failed(int error) override { add("send_failed", error); }
  void no_status_record() override { events.push_back("no_status_record"); }
  void read_before_status() override { events.push_back("read_before_status"); }
  void add(const char* what, int n) { events.push_back(what + (" " + std::to_string(n))); }
};

void expect_result(const getdata& conn, read_outcome what, int32_t code) {
  EXPECT_EQ(static_cast<int>(conn.last_result().what), static_cast<int>(what));
  EXPECT_EQ(conn.last_result().code, code);
}

std::vector<int32_t> downloaded(const getdata& conn) {
  std::vector<int32_t> out;
  for (int i = 0; i < conn.status->logCount; ++i) out.push_back(conn.get_value(i));
  return out;
}

struct Range {
  int start, count;
  bool operator==(const Range& o) const { return start == o.start && count == o.count; }
};
std::ostream& operator<<(std::ostream& os, const Range& r) {
  return os << "(" << r.start << "," << r.count << ")";
}

std::vector<Range> data_requests(const FakeBox& box) {
  std::vector<Range> out;
  for (const Bytes& r : box.requests())
    if (r.size() == kRequestSize && r[kReqCode] == kDataRequestCode)
      out.push_back({coding::get_u16_le(&r[kReqStart]), coding::get_u16_le(&r[kReqCount])});
  return out;
}

// Sensors placed by port * 2 + slot, as serve_sensors looks them up.
std::vector<FakeSensor> at(int port, int slot, FakeSensor s) {
  std::vector<FakeSensor> v(port * 2 + slot + 1);
  v.back() = std::move(s);
  return v;
}

FakeReply from_elsewhere(Bytes bytes, int n) {
  FakeReply r = reply(std::move(bytes));
  r.from_addr = other_addr(n);
  return r;
}

FakeReply from_other_port(Bytes bytes) {
  FakeReply r = reply(std::move(bytes));
  r.other_port = true;
  return r;
}

// A port of `addr` on which nothing listens.
sockaddr_in unused_port(const std::string& addr) {
  const int probe = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, addr.c_str(), &a.sin_addr);
  bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(probe, reinterpret_cast<sockaddr*>(&a), &len);
  close(probe);
  return a;
}

// Linux reports an ICMP error to an unconnected socket only when asked to.
bool report_unreachable(const UdpSocket& s) {
  const int one = 1;
  return setsockopt(static_cast<int>(s.native_handle()), IPPROTO_IP, IP_RECVERR, &one,
                    sizeof one) == 0;
}

TEST(GetData, DownloadsEveryChunkOldestFirst) {
  const struct {
    uint8_t size;
    int16_t capacity, head, count;
    std::vector<Range> requests;
  } cases[] = {
      {1, 2000, 100, 1500, {{600, 1146}, {1746, 354}}},
      {2, 1000, 100, 300, {{800, 300}}},  // runs past the ring's end in one request
      {4, 300, 100, 300, {{100, 286}, {86, 14}}},
      {4, 1000, 286, 286, {{0, 286}}},
      {2, 1146, 573, 1146, {{573, 573}, {0, 573}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "size " << int(c.size) << " count " << c.count);
    const FakeSensor sensor = make_sensor(2, c.capacity, c.head, c.count, c.size);
    FakeBox box(box_addr(1), 0, serve_sensors(at(2, 1, sensor)));
    getdata conn(box.port(), kWait);

    ASSERT_EQ(conn.read_sensor(box_addr(1).c_str(), "pw", 2, 1), 0);
    EXPECT_EQ(conn.last_error, 0);
    expect_result(conn, read_outcome::read, 0);
    EXPECT_FALSE(conn.sock.is_open());
    EXPECT_EQ(data_requests(box), c.requests);
    EXPECT_EQ(conn.samples.size(), static_cast<size_t>(c.count) * c.size);
    EXPECT_EQ(downloaded(conn), oldest_first(sensor));
    EXPECT_EQ(conn.status->sensorType, 1);
    EXPECT_STREQ(conn.status->password, "pw");
    EXPECT_EQ(conn.address, box_addr(1));
  }
}

// Asked for the newest N: the run ending just before the head, wrapped and
// in chunks, and a progress report after each chunk taken.
TEST(GetData, DownloadsOnlyTheNewestWhenAsked) {
  const struct {
    int wanted;
    std::vector<Range> requests;
    int held;
  } cases[] = {
      {290, {{110, 286}, {96, 4}}, 290},
      {1, {{99, 1}}, 1},
      {0, {}, 0},
      {400, {{100, 286}, {86, 14}}, 300},  // more than the log holds: all of it
  };
  const FakeSensor sensor = make_sensor(2, 300, 100, 300, 4);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.wanted);
    FakeBox box(box_addr(1), 0, serve_sensors(at(2, 1, sensor)));
    getdata conn(box.port(), kWait);
    std::vector<Range> progress;
    conn.choose_samples = [&c](const getdata& g) {
      EXPECT_EQ(g.status->logCount, 300);
      return c.wanted;
    };
    conn.progress = [&progress](const getdata&, int done, int total) {
      progress.push_back({done, total});
    };
    ASSERT_EQ(conn.read_sensor(box_addr(1).c_str(), "pw", 2, 1), 0);
    EXPECT_EQ(data_requests(box), c.requests);
    const std::vector<int32_t> all = oldest_first(sensor);
    const reading r = conn.view();
    ASSERT_EQ(r.count, c.held);
    for (int i = 0; i < c.held; ++i) ASSERT_EQ(r.get_value(i), all[300 - c.held + i]) << i;
    std::vector<Range> want;
    for (size_t i = 0, done = 0; i < c.requests.size(); ++i)
      want.push_back({static_cast<int>(done += c.requests[i].count), c.held});
    EXPECT_EQ(progress, want);
  }
}

TEST(GetData, BoxErrorRepliesEndTheReadAtOnce) {
  const struct {
    uint8_t code;
    bool on_data;  // the error answers the data request, not the status request
    int32_t last_error;
  } cases[] = {
      {0xFD, false, -3},   {0xFA, false, -6}, {0xFE, false, -2},
      {0x80, false, -128}, {0xFB, true, -5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "code " << int(c.code));
    const FakeSensor sensor = make_sensor(4, 100, 10, 50, 2);
    FakeHandler handler = [&](const Bytes& req, int) -> std::vector<FakeReply> {
      if (req[kReqCode] == kStatusRequestCode && !c.on_data)
        return {reply(error_reply(c.code, 4, kStatusReplySize))};
      if (req[kReqCode] == kStatusRequestCode) return {reply(status_reply(sensor.status))};
      return {reply(error_reply(c.code, 4, 50 * 2 + kDataReplyHeaderSize))};
    };
    FakeBox box(box_addr(2), 0, handler);
    getdata conn(box.port(), kWait);

    const auto start = Clock::now();
    EXPECT_EQ(conn.read_sensor(box_addr(2).c_str(), "pw", 4, 0), -1);
    EXPECT_LT(ms_since(start), kWait);
    EXPECT_EQ(conn.last_error, c.last_error);
    expect_result(conn, read_outcome::box_error, c.last_error);
    EXPECT_EQ(box.requests().size(), c.on_data ? 2u : 1u);
    EXPECT_FALSE(conn.sock.is_open());
    if (!c.on_data) {
      EXPECT_EQ(conn.status->replyCode, c.code);
    }
  }
}

TEST(GetData, OldFirmwareReplyFromAnySender) {
  FakeReply old = from_elsewhere(Bytes(kOldFirmwareReplySize, 0x42), 3);
  old.other_port = true;
  FakeBox box(box_addr(3), 0, [&](const Bytes&, int) -> std::vector<FakeReply> { return {old}; });
  getdata conn(box.port(), kWait);

  EXPECT_EQ(conn.read_sensor(box_addr(3).c_str(), "pw", 0, 0), -1);
  EXPECT_EQ(conn.last_error, kErrOldFirmware);
  expect_result(conn, read_outcome::old_firmware, kErrOldFirmware);
  EXPECT_EQ(box.requests().size(), 1u);
}

// Each junk datagram comes before the right reply within the same attempt; a
// junk datagram taken as the reply would show as a wrong type or wrong samples.
TEST(GetData, StatusRepliesThatDoNotMatchAreDropped) {
  const FakeSensor sensor = make_sensor(5, 10, 4, 8, 1);
  SensorStatus decoy = sensor.status;
  decoy.sensorType = 9;
  const Bytes junk = status_reply(decoy);
  Bytes other_port_byte = junk;
  other_port_byte[1] = 6;
  Bytes other_code = junk;
  other_code[0] = kDataReplyCode;
  Bytes longer = junk;
  longer.push_back(0);

  const struct {
    const char* what;
    FakeReply junk;
  } cases[] = {
      {"other address", from_elsewhere(junk, 4)},
      {"other source port", from_other_port(junk)},
      {"131 bytes", reply(Bytes(junk.begin(), junk.end() - 1))},
      {"133 bytes", reply(longer)},
      {"other port byte", reply(other_port_byte)},
      {"code 1", reply(other_code)},
      {"error from other address", from_elsewhere(error_reply(0xFA, 5, kStatusReplySize), 4)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeHandler serve = serve_sensors(at(5, 0, sensor));
    FakeBox box(box_addr(4), 0, [&](const Bytes& req, int i) {
      std::vector<FakeReply> out = serve(req, i);
      if (req[kReqCode] == kStatusRequestCode) out.insert(out.begin(), c.junk);
      return out;
    });
    getdata conn(box.port(), kWait);

    ASSERT_EQ(conn.read_sensor(box_addr(4).c_str(), "pw", 5, 0), 0);
    EXPECT_EQ(conn.status->sensorType, 1);
    EXPECT_EQ(box.requests().size(), 2u);  // no second status attempt
  }
}

TEST(GetData, DataRepliesThatDoNotMatchAreDropped) {
  const FakeSensor sensor = make_sensor(1, 50, 20, 30, 2);
  const FakeSensor decoy = make_sensor(1, 50, 20, 30, 2, 777);
  const int first = 40;  // 20 - 30 + 50
  const Bytes junk = data_reply(decoy, first, 30, 30);
  Bytes other_port_byte = junk;
  other_port_byte[1] = 0;
  Bytes other_code = junk;
  other_code[0] = kStatusReplyCode;

  const struct {
    const char* what;
    FakeReply junk;
  } cases[] = {
      {"other address", from_elsewhere(junk, 5)},
      {"other source port", from_other_port(junk)},
      {"one sample short", reply(data_reply(decoy, first, 29, 29))},
      {"one sample long", reply(data_reply(decoy, first, 31, 30))},
      {"other port byte", reply(other_port_byte)},
      {"code 4", reply(other_code)},
      {"count 0", reply(data_reply(decoy, first, 30, 0))},
      {"count -1", reply(data_reply(decoy, first, 30, -1))},
      {"count -32768", reply(data_reply(decoy, first, 30, -32768))},
      {"count above asked", reply(data_reply(decoy, first, 30, 31))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeHandler serve = serve_sensors(at(1, 1, sensor));
    FakeBox box(box_addr(5), 0, [&](const Bytes& req, int i) {
      std::vector<FakeReply> out = serve(req, i);
      if (req[kReqCode] == kDataRequestCode) out.insert(out.begin(), c.junk);
      return out;
    });
    getdata conn(box.port(), kWait);

    ASSERT_EQ(conn.read_sensor(box_addr(5).c_str(), "pw", 1, 1), 0);
    EXPECT_EQ(downloaded(conn), oldest_first(sensor));
    EXPECT_EQ(data_requests(box), (std::vector<Range>{{first, 30}}));
  }
}

// A reply may carry fewer samples than asked; the next request goes on from
// there.
TEST(GetData, ShortDataReplyAdvancesByItsOwnCount) {
  const FakeSensor sensor = make_sensor(0, 40, 30, 40, 1);
  FakeHandler serve = serve_sensors(at(0, 0, sensor));
  FakeBox box(box_addr(16), 0, [&](const Bytes& req, int i) -> std::vector<FakeReply> {
    if (req[kReqCode] != kDataRequestCode || coding::get_u16_le(&req[kReqCount]) != 40)
      return serve(req, i);
    // Asked for all 40: only 25 of them come, in a datagram sized for 40.
    return {reply(data_reply(sensor, coding::get_u16_le(&req[kReqStart]), 40, 25))};
  });
  getdata conn(box.port(), kWait);

  ASSERT_EQ(conn.read_sensor(box_addr(16).c_str(), "pw", 0, 0), 0);
  EXPECT_EQ(data_requests(box), (std::vector<Range>{{30, 40}, {15, 15}}));
  EXPECT_EQ(downloaded(conn), oldest_first(sensor));
}

TEST(GetData, NoReplyMeansFiveRequestsThen103) {
  FakeBox box(box_addr(6), 0, [](const Bytes&, int) { return std::vector<FakeReply>{}; });
  getdata conn(box.port(), kWait);

  const auto start = Clock::now();
  EXPECT_EQ(conn.read_sensor(box_addr(6).c_str(), "pw", 7, 1), -1);
  const long long took = ms_since(start);
  EXPECT_EQ(conn.last_error, kErrNoReply);
  expect_result(conn, read_outcome::no_reply, kErrNoReply);
  EXPECT_GE(took, 5 * kWait - 20);
  EXPECT_LT(took, 5 * kWait + 400);
  const std::vector<Bytes> requests = box.requests();
  ASSERT_EQ(requests.size(), 5u);
  for (const Bytes& r : requests) EXPECT_EQ(r, requests[0]);
  EXPECT_EQ(requests[0][kReqCode], kStatusRequestCode);
  EXPECT_FALSE(conn.sock.is_open());
}

TEST(GetData, BoxFallsSilentInSecondChunk) {
  const FakeSensor sensor = make_sensor(3, 2000, 100, 1500, 1);
  FakeHandler serve = serve_sensors(at(3, 0, sensor));
  FakeBox box(box_addr(7), 0, [&](const Bytes& req, int i) {
    return i < 2 ? serve(req, i) : std::vector<FakeReply>{};
  });
  getdata conn(box.port(), kWait);

  EXPECT_EQ(conn.read_sensor(box_addr(7).c_str(), "pw", 3, 0), -1);
  EXPECT_EQ(conn.last_error, kErrNoReply);
  EXPECT_EQ(data_requests(box),
            (std::vector<Range>{
                {600, 1146}, {1746, 354}, {1746, 354}, {1746, 354}, {1746, 354}, {1746, 354}}));
}

TEST(GetData, EmptyDatalogIsReportedWithoutDataRequest) {
  const FakeSensor sensor = make_sensor(3, 100, 0, 0, 2);
  FakeBox box(box_addr(8), 0, serve_sensors(at(3, 1, sensor)));
  getdata conn(box.port(), kWait);
  heard listener;
  conn.set_listener(&listener);

  testing::internal::CaptureStdout();
  EXPECT_EQ(conn.read_sensor(box_addr(8).c_str(), "pw", 3, 1), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(listener.events, std::vector<std::string>{"empty_log 4"});
  EXPECT_EQ(conn.last_error, kErrEmptyLog);
  expect_result(conn, read_outcome::empty_log, kErrEmptyLog);
  EXPECT_EQ(box.requests().size(), 1u);
  EXPECT_FALSE(conn.sock.is_open());
}

TEST(GetData, ContradictoryDatalogIsRefusedWithoutDataRequest) {
  const struct {
    const char* what;
    uint8_t size;
    int16_t capacity, head, count;
  } cases[] = {
      {"sample size 0", 0, 100, 10, 50},  {"sample size 3", 3, 100, 10, 50},
      {"capacity 0", 2, 0, 0, 5},         {"capacity negative", 2, -100, 0, 5},
      {"count negative", 2, 100, 10, -1}, {"count above capacity", 2, 100, 10, 101},
      {"head negative", 2, 100, -1, 50},  {"head above capacity", 2, 100, 101, 50},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeSensor sensor;
    sensor.status = make_status(2, 1, c.capacity, c.head, c.count, c.size);
    FakeBox box(box_addr(9), 0, serve_sensors(at(2, 0, sensor)));
    getdata conn(box.port(), kWait);

    testing::internal::CaptureStdout();
    EXPECT_EQ(conn.read_sensor(box_addr(9).c_str(), "pw", 2, 0), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(conn.last_error, kErrInvalidLog);
    expect_result(conn, read_outcome::invalid_log, kErrInvalidLog);
    EXPECT_EQ(box.requests().size(), 1u);
    EXPECT_FALSE(conn.sock.is_open());
  }
}

// Junk keeps arriving for longer than an attempt's wait after every request.
// Each attempt still ends when its wait runs out, counted from its send.
TEST(GetData, JunkFloodEndsWithinTheAttemptsWaits) {
  FakeBox box(box_addr(10), 0, [](const Bytes& req, int) {
    std::vector<FakeReply> flood;
    for (int i = 0; i < 30; ++i) {
      FakeReply r = reply(Bytes(50, 0x99));
      r.bytes[1] = req[kReqPort];
      r.delay_ms = 10;
      flood.push_back(r);
    }
    return flood;
  });
  getdata conn(box.port(), kWait);

  const auto start = Clock::now();
  EXPECT_EQ(conn.read_sensor(box_addr(10).c_str(), "pw", 0, 0), -1);
  EXPECT_LT(ms_since(start), 5 * kWait + 350);
  EXPECT_EQ(conn.last_error, kErrNoReply);
}

// A second answer to the status request is already waiting when the data is
// asked for; shaped like the data reply, it must not be taken for it. Also
// when a read error stands in front of it: a port-unreachable notice for an
// earlier send fails one read and leaves the queue behind it as it was.
TEST(GetData, StaleReplyIsDiscardedBeforeTheNextRequest) {
  const FakeSensor sensor = make_sensor(0, 100, 50, 20, 1);
  const FakeSensor stale = make_sensor(0, 100, 50, 20, 1, 555);
  ASSERT_NE(oldest_first(stale), oldest_first(sensor));
  for (const bool notice_first : {false, true}) {
    SCOPED_TRACE(notice_first ? "behind a port-unreachable notice" : "alone");
    FakeBox box(box_addr(11), 0, [&](const Bytes& req, int) -> std::vector<FakeReply> {
      if (req[kReqCode] == kStatusRequestCode)
        return {reply(status_reply(sensor.status)), reply(data_reply(stale, 30, 20, 20))};
      return {reply(data_reply(sensor, 30, 20, 20))};
    });
    getdata conn(box.port(), kWait);
    ASSERT_TRUE(parse_ipv4(box_addr(11).c_str(), &conn.box_ip));
    std::strncpy(conn.status->password, "pw", kPasswordSize);
    ASSERT_EQ(conn.open_socket(), 0);
    ASSERT_TRUE(report_unreachable(conn.sock));

    ASSERT_EQ(conn.readstatus(), 0);
    if (notice_first) {
      const sockaddr_in nobody = unused_port(box_addr(11));
      ASSERT_EQ(sendto(static_cast<int>(conn.sock.native_handle()), "?", 1, 0,
                       reinterpret_cast<const sockaddr*>(&nobody), sizeof nobody),
                1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the stale reply lands
    ASSERT_EQ(conn.read_data(), 0);
    conn.sock.close();
    EXPECT_EQ(downloaded(conn), oldest_first(sensor));
    EXPECT_EQ(data_requests(box).size(), 1u);
  }
}

// Every status-length datagram of the box that names the port asked about
// leaves its code byte in the record, also one dropped for its code; nothing
// else does, and a dropped one changes nothing more.
TEST(GetData, StatusReplyCodeIsKeptForEveryAnswerToTheRequest) {
  const uint32_t box_ip = htonl(0x7F000114);
  const struct {
    const char* what;
    uint8_t code, port_byte;
    int len;
    uint32_t from_ip;
    uint16_t from_port;
    Verdict verdict;
    uint8_t reply_code;  // 0x5A: left as it was
  } cases[] = {
      {"code 0x42", 0x42, 3, kStatusReplySize, box_ip, kBoxPort, Verdict::kDrop, 0x42},
      {"code 1", 1, 3, kStatusReplySize, box_ip, kBoxPort, Verdict::kDrop, 1},
      {"error", 0xFD, 3, kStatusReplySize, box_ip, kBoxPort, Verdict::kBoxError, 0xFD},
      {"other port byte", 0x42, 2, kStatusReplySize, box_ip, kBoxPort, Verdict::kDrop, 0x5A},
      {"131 bytes", 0x42, 3, kStatusReplySize - 1, box_ip, kBoxPort, Verdict::kDrop, 0x5A},
      {"other sender", 0x42, 3, kStatusReplySize, box_ip + 1, kBoxPort, Verdict::kDrop, 0x5A},
      {"sender port 812", 0x42, 3, kStatusReplySize, box_ip, 812, Verdict::kDrop, 0x5A},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    getdata conn;
    conn.box_ip = box_ip;
    conn.port = 3;
    std::memset(conn.status.get(), 0x5A, sizeof(SensorStatus));
    const SensorStatus before = *conn.status;
    Bytes bytes(kStatusReplySize, 0x11);
    bytes[0] = c.code;
    bytes[1] = c.port_byte;

    EXPECT_EQ(conn.take_status_reply(Datagram{bytes.data(), c.len, c.from_ip, c.from_port}),
              c.verdict);
    EXPECT_EQ(conn.status->replyCode, c.reply_code);
    SensorStatus rest = *conn.status;
    rest.replyCode = before.replyCode;
    EXPECT_EQ(std::memcmp(&rest, &before, sizeof rest), 0) << "only the code changed";
  }
}

TEST(GetData, SecondReadReusesTheObject) {
  // Port 0 slot 0: one request for 573 two-byte samples from index 1000.
  const FakeSensor first = make_sensor(0, 2000, 1573, 573, 2);
  const FakeSensor second = make_sensor(1, 10, 5, 10, 1);
  std::vector<FakeSensor> sensors(4);
  sensors[0] = first;
  sensors[3] = second;
  FakeBox box(box_addr(12), 0, serve_sensors(sensors));
  getdata conn(box.port(), kWait);

  ASSERT_EQ(conn.read_sensor(box_addr(12).c_str(), "secret", 0, 0), 0);
  const SensorStatus* record = conn.status.get();
  const uint8_t* buffer = conn.samples.data();
  EXPECT_EQ(downloaded(conn), oldest_first(first));

  // The same box, its address written with a hex part.
  ASSERT_EQ(conn.read_sensor("127.0.1.0xc", "", 1, 1), 0);
  EXPECT_EQ(conn.address, "127.0.1.0xc");
  EXPECT_EQ(conn.status.get(), record);
  EXPECT_EQ(conn.samples.data(), buffer);
  EXPECT_EQ(conn.samples.size(), 10u);
  EXPECT_EQ(downloaded(conn), oldest_first(second));

  const std::vector<Bytes> requests = box.requests();
  ASSERT_EQ(requests.size(), 4u);
  const Bytes first_status = {2,   0, 0, 0, 0, 0, 0, 's', 'e', 'c', 'r', 'e',
                              't', 0, 0, 0, 0, 0, 0, 0,   0,   0,   0,   0};
  const Bytes first_data = {3,   0, 0, 0xE8, 0x03, 0x3D, 0x02, 's', 'e', 'c', 'r', 'e',
                            't', 0, 0, 0,    0,    0,    0,    0,   0,   0,   0,   0};
  // Bytes 3-6 carry the latest data request's start and count.
  const Bytes second_status = {2, 1, 1, 0xE8, 0x03, 0x3D, 0x02, 0, 0, 0, 0, 0,
                               0, 0, 0, 0,    0,    0,    0,    0, 0, 0, 0, 0};
  EXPECT_EQ(requests[0], first_status);
  EXPECT_EQ(requests[1], first_data);
  EXPECT_EQ(requests[2], second_status);
  EXPECT_EQ(requests[3][kReqCode], kDataRequestCode);
}

TEST(GetData, PasswordIsCutAndPaddedToSixteenBytes) {
  const struct {
    const char* password;
    std::string field;  // bytes 7-22
  } cases[] = {
      {"", std::string(16, '\0')},
      {"abc", std::string("abc") + std::string(13, '\0')},
      {"0123456789abcdef", "0123456789abcdef"},
      {"0123456789abcdefWXYZ", "0123456789abcdef"},
  };
  FakeBox box(box_addr(13), 0, [](const Bytes&, int) {
    return std::vector<FakeReply>{reply(error_reply(0xFB, 6, kStatusReplySize))};
  });
  getdata conn(box.port(), kWait);
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const auto& c = cases[i];
    ASSERT_EQ(conn.read_sensor(box_addr(13).c_str(), c.password, 6, 0), -1);
    EXPECT_EQ(conn.last_error, -5);
    const Bytes req = box.requests().at(i);
    ASSERT_EQ(req.size(), static_cast<size_t>(kRequestSize));
    EXPECT_EQ(std::string(req.begin() + kReqPassword, req.begin() + kReqPassword + 16), c.field)
        << c.password;
    EXPECT_EQ(req[23], 0);
  }
}

TEST(GetData, GetValueSignExtendsEachWidth) {
  const struct {
    uint8_t size;
    Bytes bytes;
    std::vector<int32_t> values;
  } cases[] = {
      {1, {0x80, 0xFF, 0x7F, 0x00}, {-128, -1, 127, 0}},
      {2, {0x00, 0x80, 0xFE, 0xFF, 0x2C, 0x01}, {-32768, -2, 300}},
      {4,
       {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x80, 0x78, 0x56, 0x34, 0x12},
       {-1, INT32_MIN, 0x12345678}},
  };
  getdata conn;
  for (const auto& c : cases) {
    conn.status->sampleSize = c.size;
    conn.samples = c.bytes;
    // The outputs read the same samples through the reading.
    const reading r = reading_of(&conn);
    EXPECT_EQ(r.count, static_cast<int>(c.values.size()));
    EXPECT_EQ(r.sample_size, c.size);
    for (size_t i = 0; i < c.values.size(); ++i) {
      EXPECT_EQ(conn.get_value(static_cast<int>(i)), c.values[i]) << int(c.size) << " " << i;
      EXPECT_EQ(r.get_value(static_cast<int>(i)), c.values[i]) << int(c.size) << " " << i;
    }
    EXPECT_EQ(conn.get_value(static_cast<int>(c.values.size())), 0);  // past the end
    EXPECT_EQ(conn.get_value(-1), 0);
    EXPECT_EQ(r.get_value(r.count), 0);
  }
  EXPECT_EQ(reading_of(nullptr).status, nullptr);
}

// Port unreachable made visible on Linux: the error of the fifth attempt is
// the final code, in place of 103.
TEST(GetData, SocketErrorOfTheLastAttemptStays) {
  const sockaddr_in a = unused_port(box_addr(15));
  ASSERT_NE(a.sin_port, 0);

  getdata conn(ntohs(a.sin_port), kWait);
  conn.box_ip = a.sin_addr.s_addr;
  std::strncpy(conn.status->password, "pw", kPasswordSize);
  ASSERT_EQ(conn.open_socket(), 0);
  ASSERT_TRUE(report_unreachable(conn.sock));

  const auto start = Clock::now();
  EXPECT_EQ(conn.readstatus(), -1);
  EXPECT_LT(ms_since(start), kWait);
  conn.sock.close();
  EXPECT_EQ(conn.last_error, 10061);  // refused
}

// Lets this process open no further descriptor (death test children only).
void no_more_descriptors() {
  rlimit lim{};
  getrlimit(RLIMIT_NOFILE, &lim);
  lim.rlim_cur = 0;
  setrlimit(RLIMIT_NOFILE, &lim);
}

// A failed wait ends the receive with a socket error number at once. The
// wait is made to fail in a child process: poll() refuses more descriptors
// than the process may open.
TEST(GetDataDeathTest, FailedWaitEndsTheReceive) {
  EXPECT_EXIT(
      {
        getdata conn(kBoxPort, 2000);
        conn.box_ip = htonl(INADDR_LOOPBACK);
        if (conn.open_socket() != 0) _exit(2);
        no_more_descriptors();
        Peer from;
        const auto start = Clock::now();
        const int n = conn.recv_packet(conn.recv_buf, sizeof conn.recv_buf, 2000, &from);
        const long long took = ms_since(start);
        std::fprintf(stderr, "n=%d last_error=%d took=%lld\n", n, conn.last_error, took);
        _exit(n == -1 && conn.last_error == 10022 && took < 500 ? 0 : 1);
      },
      testing::ExitedWithCode(0), "n=-1 last_error=10022");
}

// The number told is the cause: the socket that cannot be bound, or (below)
// the socket itself that cannot be made for want of a descriptor (then not
// 10009 from the next call on the invalid socket). The connection prints
// nothing and returns; ending the run is the caller's choice.
TEST(GetData, SocketThatCannotBeOpenedIsToldAndReturned) {
  FakeBox busy(box_addr(17), 0, [](const Bytes&, int) { return std::vector<FakeReply>{}; });
  getdata conn(kBoxPort, kWait);
  heard listener;
  conn.set_listener(&listener);
  ASSERT_TRUE(parse_ipv4(busy.addr().c_str(), &conn.local.addr));
  conn.local.port = busy.port();
  testing::internal::CaptureStdout();
  EXPECT_EQ(conn.read_sensor(box_addr(17).c_str(), "pw", 0, 0), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(listener.events, std::vector<std::string>{"no_socket 10048"});  // in use
  expect_result(conn, read_outcome::no_socket, 10048);
  EXPECT_FALSE(conn.sock.is_open());
  EXPECT_TRUE(busy.requests().empty());
}

// The limit is raised again before the exit: the sanitizers need
// descriptors of their own. No listener here: the undefined-behaviour
// checker cannot look at a virtual call while no descriptor is left, and
// the event itself is checked above.
TEST(GetDataDeathTest, NoDescriptorLeftIsToldWithItsOwnNumber) {
  EXPECT_EXIT(
      {
        getdata conn(kBoxPort, kWait);
        rlimit before{};
        getrlimit(RLIMIT_NOFILE, &before);
        no_more_descriptors();
        const int result = conn.read_sensor("127.0.1.17", "pw", 0, 0);
        setrlimit(RLIMIT_NOFILE, &before);
        std::fprintf(stderr, "%d %d\n", result, static_cast<int>(conn.last_error));
        _exit(result == -1 && conn.last_error == 10024 &&
                      conn.last_result().what == read_outcome::no_socket
                  ? 0
                  : 1);
      },
      testing::ExitedWithCode(0), "^-1 10024\n$");
}

}  // namespace
