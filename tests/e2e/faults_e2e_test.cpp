// Faults of the command line, the prompts, the box's values and the network,
// and how the real program comes through them.
#include <gtest/gtest.h>

#include "tests/e2e/expected_report.h"
#include "tests/e2e/harness.h"

namespace {

const char* const kAddressPrompt = "Enter ip of Vellorix to download data from: ";
const char* const kPasswordPrompt = "Type your password: ";

std::string offline_from(int port) {
  std::string s;
  for (int p = port; p <= 8; ++p) s += "Port " + std::to_string(p) + " offline.\n";
  return s;
}

std::string one_sensor_box() {
  return "clock 1796685429\npassword pw\n[port 1 slot 1]\nsamples 1 2 3\n"
         "[port 1 slot 2]\nerror 0xFB\n";
}

// Two sensors whose downloads take several chunks of one reply length each,
// so that a stale copy of one chunk's reply would fit the next request.
const char* const kChunkyBox = R"(
system Chunks
clock 1796685429
password pw
[port 1 slot 1]
type voltage
unit V
sample_size 4
last_log_time 1796685000
generate 1000 ramp -500 1
[port 1 slot 2]
type humidity
unit %
sample_size 1
last_log_time 1796685000
generate 3000 wave 50 40 60
)";

// The run over kChunkyBox must give exactly these reports and messages,
// whatever the network did.
void expect_chunky_reports(const TempDir& dir, const RunResult& run, const std::string& a) {
  EXPECT_EQ(run.out, "Saving data to " + a + "_p1_voltage.txt ...\n" + "Saving data to " + a +
                         "_p1_humidity.txt ...\n" + offline_from(2));
  EXPECT_EQ(run.status, 0);
  ReportSensor volts;
  volts.address = a;
  volts.system_name = "Chunks";
  volts.unit = "V";
  volts.type = 14;
  volts.device_time = 1796685429;
  volts.last_log_time = 1796685000;
  volts.samples = ramp(1000, -500, 1);
  ReportSensor humid = volts;
  humid.unit = "%";
  humid.type = 3;
  humid.samples = wave(3000, 50, 40, 60);
  EXPECT_EQ(dir.read(a + "_p1_voltage.txt"), expected_utc_report(volts));
  EXPECT_EQ(dir.read(a + "_p1_humidity.txt"), expected_utc_report(humid));
}

// The requests of a clean run over kChunkyBox: 286-sample chunks, then
// 1146-sample ones.
std::vector<std::string> chunky_requests() {
  std::vector<std::string> r = {
      request_hex(2, 0, 0, 0, 0, "pw"),      request_hex(3, 0, 0, 0, 286, "pw"),
      request_hex(3, 0, 0, 286, 286, "pw"),  request_hex(3, 0, 0, 572, 286, "pw"),
      request_hex(3, 0, 0, 858, 142, "pw"),  request_hex(2, 0, 1, 858, 142, "pw"),
      request_hex(3, 0, 1, 0, 1146, "pw"),   request_hex(3, 0, 1, 1146, 1146, "pw"),
      request_hex(3, 0, 1, 2292, 708, "pw"),
  };
  for (int port = 1; port < 8; ++port) r.push_back(request_hex(2, port, 0, 2292, 708, "pw"));
  return r;
}

}  // namespace

// Needs no box: nothing is sent for an address that is not one.
TEST(E2eFaults, InvalidAddressEndsBeforeThePasswordPrompt) {
  struct Case {
    std::vector<std::string> args;
    std::string input;
    std::string out;
  };
  const Case cases[] = {
      {{"-i", "999.1.1.1"}, "pw\n", "Invalid IP address '999.1.1.1' !\n"},
      {{"-i", "box", "-p", "pw"}, "", "Invalid IP address 'box' !\n"},
      {{"-i", "1.2.3.4.5"}, "", "Invalid IP address '1.2.3.4.5' !\n"},
      {{}, "box\npw\n", std::string(kAddressPrompt) + "Invalid IP address 'box' !\n"},
      {{"-p", "pw"}, "", std::string(kAddressPrompt) + "Invalid IP address '' !\n"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const RunResult run = run_logfetch(dir, c.args, c.input, 30);
    EXPECT_EQ(run.out, c.out) << c.input;
    EXPECT_EQ(run.status, kExitMinusOne) << c.input;
  }
}

TEST(E2eFaults, OptionWithoutArgumentPrompts) {
  E2E_NEEDS_ROOT();
  BoxSim box(box_n::kMissingArgument, one_sensor_box());
  ASSERT_TRUE(box.ready());
  const std::string a = box.addr();
  const std::string walk = "Saving data to " + a + "_p1_temperature.txt ...\n" + offline_from(2);
  struct Case {
    std::vector<std::string> args;
    std::string input;
    std::string out;
  };
  const Case cases[] = {
      {{"-p", "-i", a}, "pw\n", kPasswordPrompt + walk},
      {{"-p", "pw", "-i"}, a + "\n", kAddressPrompt + walk},
      {{"-i", "/p"}, a + " pw\n", std::string(kAddressPrompt) + kPasswordPrompt + walk},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const RunResult run = run_logfetch(dir, c.args, c.input);
    EXPECT_EQ(run.out, c.out) << c.input;
    EXPECT_EQ(run.status, 2);  // a sensor not read or saved
  }
  for (const std::string& hex : box.request_hex())
    EXPECT_EQ(hex.substr(14, 32), "7077" + std::string(28, '0'));
}

// A prompted word of more than 99 characters: its first 99 are the answer,
// the rest of it is thrown away, and the next word answers the next prompt.
// The 99-character address still names the box, but it makes a report name
// too long for its buffer.
TEST(E2eFaults, LongPromptedWordIsCut) {
  E2E_NEEDS_ROOT();
  BoxSim box(box_n::kLongWord, one_sensor_box());
  ASSERT_TRUE(box.ready());
  const std::string plain = box.addr();
  const std::string rest = plain.substr(plain.find('.'));
  const std::string addr99 = std::string(99 - rest.size() - 3, '0') + "177" + rest;
  ASSERT_EQ(addr99.size(), 99u);
  TempDir dir;
  const RunResult run = run_logfetch(dir, {}, addr99 + "9garbage\npw\n");
  EXPECT_EQ(run.out, std::string(kAddressPrompt) + kPasswordPrompt +
                         "File name too long for sensor on port 1 !\n" + offline_from(2));
  EXPECT_EQ(run.status, 2);  // a sensor not read or saved
  EXPECT_TRUE(dir.list().empty());
  const std::vector<std::string> got = box.request_hex();
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got[0], request_hex(2, 0, 0, 0, 0, "pw"));
}

// Status values that describe no datalog are refused without a data request.
TEST(E2eFaults, InvalidDatalogIsRefused) {
  E2E_NEEDS_ROOT();
  BoxSim box(box_n::kInvalidDatalog, R"(
clock 1796685429
[port 1 slot 1]
sample_size 3
samples 1 2 3
[port 1 slot 2]
sample_size 0
samples 7
[port 2 slot 1]
capacity 0
count 5
samples 1 2 3 4 5
[port 2 slot 2]
capacity 10
count 11
samples 1 2 3
[port 3 slot 1]
capacity 10
count -2
samples 1 2 3
[port 3 slot 2]
capacity 10
head 11
samples 1 2 3
[port 4 slot 1]
capacity 10
head -1
samples 1 2 3
[port 4 slot 2]
capacity 10
head 10
samples 1 2 3
)");
  ASSERT_TRUE(box.ready());
  const std::string a = box.addr();
  TempDir dir;
  const RunResult run = run_logfetch(dir, {"-i", a, "-p", "x"});
  std::string want;
  for (int port : {1, 1, 2, 2, 3, 3, 4})
    want += "Sensor on port " + std::to_string(port) + " has an invalid datalog !\n";
  want += "Saving data to " + a + "_p4_temperature.txt ...\n" + offline_from(5);
  EXPECT_EQ(run.out, want);
  EXPECT_EQ(run.status, 2);  // a sensor not read or saved
  EXPECT_EQ(dir.list(), std::vector<std::string>{a + "_p4_temperature.txt"});
  int data_requests = 0;
  for (const std::string& hex : box.request_hex()) data_requests += hex.compare(0, 2, "03") == 0;
  EXPECT_EQ(data_requests, 1) << "only the sound sensor is downloaded";
}

// A stream of datagrams that never answers: each attempt still ends 5 s after
// its request, so the walk ends after five of them.
TEST(E2eFaults, JunkFloodEndsWithinFiveWaits) {
  E2E_NEEDS_ROOT();
  BoxSim box(box_n::kFlood, one_sensor_box(), {"--flood", "400:50"});
  ASSERT_TRUE(box.ready());
  TempDir dir;
  const RunResult run = run_logfetch(dir, {"-i", box.addr(), "-p", "pw"}, "", 60);
  EXPECT_EQ(run.out, "No Vellorix reply !\n");
  EXPECT_EQ(run.status, 1);  // the walk ended early
  EXPECT_LT(run.seconds, 29) << "five waits of 5 s, and a little";
  const std::vector<LoggedRequest> got = box.requests();
  ASSERT_EQ(got.size(), 5u);
  for (size_t i = 1; i < got.size(); ++i) {
    const double gap = got[i].seconds - got[i - 1].seconds;
    EXPECT_GT(gap, 4.9) << i;
    EXPECT_LT(gap, 5.8) << i;
  }
}

// Every reply comes twice: the copy of one chunk's reply, already waiting,
// must not be taken as the answer to the next chunk's request. boxsim and
// logfetch share one CPU, boxsim at a real-time priority, so both copies are
// always queued before logfetch reads the first; on a free schedule logfetch
// could act on the first copy before the second arrives, and then no client
// could tell the copy from the answer.
TEST(E2eFaults, DuplicateRepliesAreNotTakenForTheNextAnswer) {
  E2E_NEEDS_ROOT();
  if (!realtime_available()) GTEST_SKIP() << "needs real-time scheduling (SCHED_FIFO)";
  BoxSim box(box_n::kDuplicates, kChunkyBox, {"--twice"}, Placement::kRealtimeOnSharedCpu);
  ASSERT_TRUE(box.ready());
  TempDir dir;
  const RunResult run =
      run_logfetch(dir, {"-i", box.addr(), "-p", "pw"}, "", 60, Placement::kSharedCpu);
  expect_chunky_reports(dir, run, box.addr());
  EXPECT_EQ(box.request_hex(), chunky_requests()) << "no request is repeated";
}

// Behind every reply, an oversized datagram and then a copy of the reply.
// Windows fails the read of the oversized one (10040) with the copy still
// queued behind it; the drain before the next request must read on and drop
// the copy, or it would pass for the next chunk's answer. Placed as above, so
// that all three are waiting before logfetch reads the reply.
TEST(E2eFaults, StaleCopyBehindAnOversizedDatagramIsDropped) {
  E2E_NEEDS_ROOT();
  if (!realtime_available()) GTEST_SKIP() << "needs real-time scheduling (SCHED_FIFO)";
  BoxSim box(box_n::kStaleCopy, std::string("stale_copy\n") + kChunkyBox, {},
             Placement::kRealtimeOnSharedCpu);
  ASSERT_TRUE(box.ready());
  TempDir dir;
  const RunResult run =
      run_logfetch(dir, {"-i", box.addr(), "-p", "pw"}, "", 60, Placement::kSharedCpu);
  expect_chunky_reports(dir, run, box.addr());
  EXPECT_EQ(box.request_hex(), chunky_requests()) << "no request is repeated";
}

// Junk ahead of every reply: wrong length, wrong port byte, from source port
// 812, from another address, and data replies whose count is above the count
// asked or 0. All of it is dropped; no request needs repeating.
TEST(E2eFaults, JunkIsDropped) {
  SKIP_IF_BOXSIM_UNDER_WINE(under_wine::kSecondAddress);
  E2E_NEEDS_ROOT();
  BoxSim box(box_n::kJunk, kChunkyBox,
             {"--junk", "length,port_byte,from_812,from_addr,count_over,count_zero", "--junk-addr",
              box_addr(box_n::kJunk + 100)});
  ASSERT_TRUE(box.ready());
  TempDir dir;
  const RunResult run = run_logfetch(dir, {"-i", box.addr(), "-p", "pw"});
  expect_chunky_reports(dir, run, box.addr());
  EXPECT_EQ(box.request_hex(), chunky_requests());
  EXPECT_LT(run.seconds, through_runner() ? 15 : 4.5) << "no attempt ran into its wait";
}

// A request lost in the middle of a download is asked again after one wait.
TEST(E2eFaults, DroppedRequestIsRepeated) {
  E2E_NEEDS_ROOT();
  BoxSim box(box_n::kDroppedRequest, kChunkyBox, {"--drop-request", "3"});
  ASSERT_TRUE(box.ready());
  TempDir dir;
  const RunResult run = run_logfetch(dir, {"-i", box.addr(), "-p", "pw"});
  expect_chunky_reports(dir, run, box.addr());
  std::vector<std::string> want = chunky_requests();
  want.insert(want.begin() + 3, want[2]);
  const std::vector<LoggedRequest> got = box.requests();
  std::vector<std::string> hex;
  for (const LoggedRequest& r : got) hex.push_back(r.hex);
  EXPECT_EQ(hex, want);
  ASSERT_GE(got.size(), 4u);
  EXPECT_GT(got[3].seconds - got[2].seconds, 4.9);
}
