// Network faults end to end: lost requests, doubled, late and foreign
// datagrams, floods. Each walk must leave exactly the reports (and console
// text) of the same box over a clean network, or no report and the message
// of the failure, and end within the time the attempts' waits allow.
#include <gtest/gtest.h>

#include "tests/e2e/harness.h"
#include "tests/faults/walk_compare.h"

namespace {

// The last byte of each TEST's box address on 127.0.5.N; junk from a second
// address comes from N + 100.
constexpr int kDropped = 1, kFiveDrops = 2, kTwice = 3, kLate = 4, kJunk = 5, kFlood = 6;

// Downloads of several chunks, a wrapping ring, every sample width, a tenths
// type in a zone with daylight saving. Requests of a clean walk: 1 status
// p1s1; 2-4 data (286, 286, 128); 5 status p1s2; 6-7 data (1146, 354);
// 8 status p2s1; 9-10 data (573, 27); then the absent slots.
const char* const kBox = R"(
system Faults
clock 1796685429
password pw
[port 1 slot 1]
type voltage
description Supply
unit V
sample_size 4
capacity 1000
head 200
last_log_time 1796685000
generate 700 random 7 -100000 100000
[port 1 slot 2]
type humidity
unit %RH
sample_size 1
capacity 2000
head 100
last_log_time 1796685000
generate 1500 wave 50 40 60
[port 2 slot 1]
type 4-20ma
unit mA
zone 35
sample_size 2
interval 5
last_log_time 1796685000
generate 600 ramp -300 1
)";

// One attempt's wait.
constexpr double kWait = 5.0;

void expect_same_walk(const Walk& clean, const Walk& faulty, const std::string& what) {
  EXPECT_FALSE(faulty.run.timed_out) << what;
  EXPECT_EQ(faulty.run.status, 0) << what;
  EXPECT_EQ(faulty.run.out, clean.run.out) << what;
  EXPECT_EQ(faulty.files, clean.files) << what;
}

}  // namespace

// A lost request is asked again after one wait; four losses in a row still
// leave the fifth attempt. Either way the reports are the clean ones.
TEST(NetworkFaults, LostRequestsAreAskedAgain) {
  SKIP_IF_BOXSIM_UNDER_WINE(under_wine::kSilentBox);
  E2E_NEEDS_ROOT();
  const Walk clean = walk_box(kDropped, kBox, {});
  ASSERT_EQ(clean.files.size(), 3u) << clean.run.out;
  struct Case {
    const char* drop;
    int waits;
  };
  for (const Case& c : {Case{"3", 1}, Case{"6,7,8,9", 4}}) {
    const Walk w = walk_box(kDropped, kBox, {"--drop-request", c.drop});
    expect_same_walk(clean, w, c.drop);
    EXPECT_EQ(w.requests, clean.requests + c.waits) << c.drop;
    EXPECT_GT(w.run.seconds, c.waits * kWait - 0.2) << c.drop;
    expect_timely(w, c.waits * kWait, c.waits * kWait, c.drop);
  }
}

// Five losses of one request: the download fails after its fifth wait, the
// sensor gets no report, the walk ends, and what came before stays whole.
TEST(NetworkFaults, FiveLossesLeaveNoReportAndEndTheWalk) {
  SKIP_IF_BOXSIM_UNDER_WINE(under_wine::kSilentBox);
  E2E_NEEDS_ROOT();
  const Walk clean = walk_box(kFiveDrops, kBox, {});
  const std::string a = box_addr(kFiveDrops);
  const Walk w = walk_box(kFiveDrops, kBox, {"--drop-request", "7,8,9,10,11"});
  EXPECT_EQ(w.run.status, 1);  // the walk ended early
  EXPECT_EQ(w.run.out, lines_before(clean.run.out, "Saving data to " + a + "_p1_humidity") +
                           "No Vellorix reply !\n");
  std::map<std::string, std::string> kept = clean.files;
  kept.erase(a + "_p1_humidity.txt");
  kept.erase(a + "_p2_4-20ma.txt");
  EXPECT_EQ(w.files, kept);
  EXPECT_EQ(w.requests, 11u) << "the walk ends with the failed download";
  EXPECT_GT(w.run.seconds, 5 * kWait - 0.2);
  expect_timely(w, 4 * kWait, 5 * kWait);  // the fifth wait follows the last request
}

// Every reply sent twice, on a free schedule. Each reply differs in length
// or port from the next one awaited, so a copy can only ever be dropped:
// single-chunk downloads, and one of two chunks of different lengths.
TEST(NetworkFaults, DoubledRepliesAreDropped) {
  E2E_NEEDS_ROOT();
  const char* const box = R"(
clock 1796685429
password pw
[port 1 slot 1]
sample_size 2
last_log_time 1796685000
generate 100 ramp -50 3
[port 1 slot 2]
type voltage
sample_size 4
last_log_time 1796685000
generate 300 random 3 -70000 70000
[port 2 slot 1]
type atod
zone 15
sample_size 1
last_log_time 1796685000
generate 50 wave 0 100 10
)";
  for (const char* mode : {"", "-t"}) {
    std::vector<std::string> args;
    if (*mode) args.push_back(mode);
    const Walk clean = walk_box(kTwice, box, {}, args);
    ASSERT_EQ(clean.files.size(), 3u) << clean.run.out;
    const Walk w = walk_box(kTwice, box, {"--twice"}, args);
    expect_same_walk(clean, w, mode);
    EXPECT_EQ(w.requests, clean.requests) << "no request is repeated " << mode;
    expect_timely(w, 0, 0, mode);
  }
}

// Replies held back past the attempt's wait: each arrives during the next
// attempt, which sent the same request, and is the right answer to it; the
// repeated request's own late reply then fits nothing that is awaited.
// Three exchanges (status and two chunks) of 5.3 s each.
TEST(NetworkFaults, LateRepliesAreTakenByTheNextAttempt) {
  E2E_NEEDS_ROOT();
  const std::string late_box =
      std::string(kBox) + "late 5300\n";  // in the last section: port 2 slot 1
  const Walk clean = walk_box(kLate, kBox, {}, {"-t"});
  const Walk w = walk_box(kLate, late_box, {}, {"-t"});
  expect_same_walk(clean, w, "late 5300");
  EXPECT_EQ(w.requests, clean.requests + 3);
  EXPECT_GT(w.run.seconds, 3 * 5.3 - 0.2);
  expect_timely(w, 3 * 5.3, 3 * 5.3);
}

// Junk ahead of every reply, from the box's port 812 and from another
// address among it: all dropped at once, no request repeated.
TEST(NetworkFaults, ForeignDatagramsAreDropped) {
  SKIP_IF_BOXSIM_UNDER_WINE(under_wine::kSecondAddress);
  E2E_NEEDS_ROOT();
  const Walk clean = walk_box(kJunk, kBox, {}, {"-t"});
  const Walk w = walk_box(kJunk, kBox,
                          {"--junk", "from_812,from_addr,length,port_byte,count_over,count_zero",
                           "--junk-addr", box_addr(kJunk + 100)},
                          {"-t"});
  expect_same_walk(clean, w, "junk");
  EXPECT_EQ(w.requests, clean.requests);
  expect_timely(w, 0, 0, "no attempt ran into its wait");
}

// One sensor answers only with a flood of junk: its five attempts still end
// five waits after their requests, the walk ends there, and the report read
// before the flood is the clean one.
TEST(NetworkFaults, FloodedSensorEndsTheWalkInFiveWaits) {
  SKIP_IF_BOXSIM_UNDER_WINE(under_wine::kSilentBox);
  E2E_NEEDS_ROOT();
  std::string flooded = kBox;
  const std::string slot2 = "[port 1 slot 2]\n";
  flooded.insert(flooded.find(slot2) + slot2.size(), "flood 400 10\n");
  const std::string a = box_addr(kFlood);
  const Walk clean = walk_box(kFlood, kBox, {});
  const Walk w = walk_box(kFlood, flooded, {});
  EXPECT_EQ(w.run.status, 1);  // the walk ended early
  EXPECT_EQ(w.run.out, lines_before(clean.run.out, "Saving data to " + a + "_p1_humidity") +
                           "No Vellorix reply !\n");
  ASSERT_EQ(w.files.size(), 1u);
  EXPECT_EQ(w.files.begin()->second, clean.files.at(a + "_p1_voltage.txt"));
  EXPECT_EQ(w.requests, 4u + 5u) << "p1s1, then five status requests for p1s2";
  EXPECT_GT(w.run.seconds, 5 * kWait - 0.2);
  expect_timely(w, 4 * kWait, 5 * kWait);
}
