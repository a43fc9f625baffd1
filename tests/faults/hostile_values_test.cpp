// Values a box should never send but can, end to end: data reply counts out
// of range, and every contradictory or extreme value of the hostile example
// box. No crash, no report for a refused sensor, the rest of the walk as it
// would be without the hostile sensor.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tests/e2e/harness.h"
#include "tests/faults/walk_compare.h"

namespace {

// The last byte of each TEST's box address on 127.0.5.N.
constexpr int kCountAbove = 7, kCountBelowOne = 8, kCountBelowAsk = 9, kHostileBox = 10;

// The hostile sensor is port 2 slot 1, after two sound ones.
const char* const kBox = R"(
clock 1796685429
password pw
[port 1 slot 1]
type water
sample_size 1
last_log_time 1796685000
generate 1200 random 5 -128 127
[port 1 slot 2]
type voltage
sample_size 4
last_log_time 1796685000
generate 400 ramp 2147483000 7
[port 2 slot 1]
type atod
zone 35
sample_size 2
interval 3
last_log_time 1796685000
generate 600 wave 0 3000 97
)";

std::string with_reply_count(const std::string& count) {
  return std::string(kBox) + "reply_count " + count + "\n";  // in port 2 slot 1
}

// Data replies whose own count no request can take: each is dropped, so the
// download runs out of attempts and the walk ends there, with the reports of
// the earlier sensors whole.
void expect_refused_counts(int n, const std::vector<std::string>& counts) {
  const std::string a = box_addr(n);
  const Walk clean = walk_box(n, kBox, {});
  ASSERT_EQ(clean.files.size(), 3u) << clean.run.out;
  std::map<std::string, std::string> kept = clean.files;
  kept.erase(a + "_p2_atod.txt");
  for (const std::string& count : counts) {
    const Walk w = walk_box(n, with_reply_count(count), {});
    EXPECT_EQ(w.run.status, 1) << count;  // the walk ended early
    EXPECT_EQ(w.run.out,
              lines_before(clean.run.out, "Saving data to " + a + "_p2_") + "No Vellorix reply !\n")
        << count;
    EXPECT_EQ(w.files, kept) << count;
    expect_timely(w, 4 * 5.0, 5 * 5.0, count);
  }
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

// Above the count asked (one more, and far more than the chunk has room
// for): taking it would write past the chunk.
TEST(HostileValues, DataReplyCountAboveTheAskIsRefused) {
  SKIP_IF_BOXSIM_UNDER_WINE(under_wine::kSilentBox);
  E2E_NEEDS_ROOT();
  expect_refused_counts(kCountAbove, {"over", "30000"});
}

// 0 and negative: taking it would make no progress, forever.
TEST(HostileValues, DataReplyCountBelowOneIsRefused) {
  SKIP_IF_BOXSIM_UNDER_WINE(under_wine::kSilentBox);
  E2E_NEEDS_ROOT();
  expect_refused_counts(kCountBelowOne, {"zero", "-5"});
}

// Fewer samples than asked, but at least one: the download goes on from
// where the reply ended, with more requests, to the same report.
TEST(HostileValues, DataReplyCountBelowTheAskIsProgress) {
  E2E_NEEDS_ROOT();
  const Walk clean = walk_box(kCountBelowAsk, kBox, {}, {"-t"});
  for (const char* count : {"1", "200"}) {
    const Walk w = walk_box(kCountBelowAsk, with_reply_count(count), {}, {"-t"});
    EXPECT_EQ(w.run.status, 0) << count;
    EXPECT_EQ(w.run.out, clean.run.out) << count;
    EXPECT_EQ(w.files, clean.files) << count;
    const size_t data_requests = std::string(count) == "1" ? 600 : 3;
    EXPECT_EQ(w.requests, clean.requests - 2 + data_requests) << count;
  }
}

// The hostile example box: sample widths 3 and 0, capacity 0, counts above
// the capacity and negative are refused without a data request; texts that
// fill their fields, type and zone 255 and clocks at both ends of the
// 32-bit range still give reports, the same in UTC and zone time (zone 255
// is UTC).
TEST(HostileValues, HostileExampleBox) {
  E2E_NEEDS_ROOT();
  std::string box = read_file(std::string(LF_SOURCE_DIR) + "/examples/hostile.box");
  ASSERT_FALSE(box.empty());
  const std::string pw = "password public";
  box.replace(box.find(pw), pw.size(), "password pw");
  const std::string a = box_addr(kHostileBox);

  std::string want;
  for (int port = 1; port <= 5; ++port)
    want += "Sensor on port " + std::to_string(port) + " has an invalid datalog !\n" +
            "Sensor on port " + std::to_string(port) + " has no datalog.\n";
  want += "Saving data to " + a + "_p6_.txt ...\nSensor on port 6 has no datalog.\n";
  want += "Saving data to " + a + "_p7_4-20ma.txt ...\nSensor on port 7 has no datalog.\n";
  want += "Port 8 offline.\n";

  const Walk utc = walk_box(kHostileBox, box, {});
  const Walk local = walk_box(kHostileBox, box, {}, {"-t"});
  for (const Walk* w : {&utc, &local}) {
    EXPECT_FALSE(w->run.timed_out);
    EXPECT_EQ(w->run.status, 2);  // the refused datalogs were not read
    EXPECT_EQ(w->run.out, want);
    expect_timely(*w, 0, 0);
  }
  ASSERT_EQ(utc.files.size(), 2u);
  EXPECT_EQ(local.files, utc.files);
  // Texts without a zero byte end at their field's width.
  const std::string& odd = utc.files.at(a + "_p6_.txt");
  EXPECT_NE(odd.find("System name : 123456789012345678901234567890123456\n"), std::string::npos);
  EXPECT_NE(odd.find("Sensor description : ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789\n"),
            std::string::npos);
  EXPECT_NE(odd.find("Average high value : 0 0123456789abcdef\n"), std::string::npos);
  EXPECT_NE(odd.find(" : 19/01/2038 03:14:07\n"), std::string::npos);
  EXPECT_NE(odd.find("12/13/1901 20:45:52, -1\n"), std::string::npos);
}
