// Scheduled collection end to end: the real logfetch with -n against boxsim
// boxes that log new samples between two downloads ('gain').
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/e2e/expected_report.h"
#include "tests/e2e/harness.h"

namespace {

// The last byte of each TEST's box address on 127.0.NET.N.
constexpr int kFirstThenNew = 1, kRecordDoesNotFit = 2, kDamagedState = 3, kWriteFails = 4,
              kOverwrite = 5, kFullDisk = 6, kHeadroom = 7, kHeldElsewhere = 8;
// Bytes left free on the small file system for the run that fills it.
constexpr long long kFullDiskRoom = 96 * 1024;

constexpr int32_t kClock = 1796685429;
constexpr int32_t kLast = 1796685000;  // newest sample as the box file gives it
const char* const kState = "logfetch.state";

struct Sensor {
  int port, slot;  // as shown, from 1
  const char* type_word;
  int type, sample_size, interval, capacity;
  std::vector<int32_t> samples;  // oldest first, as the box file lists them
  int gain = 0;

  std::string box_text() const {
    std::string t = "[port " + std::to_string(port) + " slot " + std::to_string(slot) + "]\n" +
                    "type " + type_word + "\nunit C\nsample_size " + std::to_string(sample_size) +
                    "\ninterval " + std::to_string(interval) + "\ncapacity " +
                    std::to_string(capacity) + "\nlast_log_time " + std::to_string(kLast) +
                    "\nsamples";
    for (int32_t v : samples) t += " " + std::to_string(v);
    if (gain > 0) t += "\ngain " + std::to_string(gain);
    return t + "\n";
  }
  std::string report_name(const std::string& addr) const {
    return addr + "_p" + std::to_string(port) + "_" + type_word + ".txt";
  }
  // The report of the newest `count` samples once the box has gained
  // `gains` times: the gained samples count up from the newest listed.
  std::string report(const std::string& addr, int gains, int count) const {
    std::vector<int32_t> all = samples;
    for (int i = 0; i < gains * gain; ++i) all.push_back(all.back() + 1);
    ReportSensor r;
    r.address = addr;
    r.system_name = "Lab";
    r.unit = "C";
    r.port = port;
    r.type = type;
    r.device_time = kClock;
    r.last_log_time = kLast + gains * gain * interval * 60;
    r.interval = interval;
    r.samples.assign(all.end() - count, all.end());
    return expected_utc_report(r);
  }
};

std::string box_text(const std::vector<Sensor>& sensors) {
  std::string t = "system Lab\nclock " + std::to_string(kClock) + "\npassword pw\n";
  for (const Sensor& s : sensors) t += s.box_text();
  return t;
}

std::string saving(const std::string& addr, const Sensor& s) {
  return "Saving data to " + s.report_name(addr) + " ...\n";
}
std::string no_datalog(int port) {
  return "Sensor on port " + std::to_string(port) + " has no datalog.\n";
}
std::string offline_from(int port) {
  std::string t;
  for (; port <= 8; ++port) t += "Port " + std::to_string(port) + " offline.\n";
  return t;
}
std::string state_line(const std::string& addr, const std::string& rest) {
  return addr + " " + rest + "\n";
}

// The data requests logged from index `from` on.
std::vector<std::string> data_requests(const BoxSim& box, size_t from) {
  std::vector<std::string> out;
  const std::vector<std::string> all = box.request_hex();
  for (size_t i = from; i < all.size(); ++i)
    if (all[i].compare(0, 2, "03") == 0) out.push_back(all[i]);
  return out;
}

RunResult run_n(const TempDir& dir, const std::string& addr, std::vector<std::string> more = {}) {
  std::vector<std::string> args = {"-i", addr, "-p", "pw", "-n"};
  args.insert(args.end(), more.begin(), more.end());
  return run_logfetch(dir, args);
}

// A 2-byte sensor whose ring has wrapped, a 1-byte one with a full ring, and
// one that logs nothing between runs.
const Sensor kWrapped{1, 1, "temperature", 1, 2, 5, 40, ramp(50, 100, 1), 6};
const Sensor kFull{2, 2, "humidity", 3, 1, 1, 20, ramp(20, 1, 1), 6};
const Sensor kStill{3, 1, "water", 4, 4, 10, 3, {7, 8, 9}, 0};

}  // namespace

TEST(Incremental, FirstRunThenOnlyTheNewSamples) {
  E2E_NEEDS_ROOT();
  BoxSim box(kFirstThenNew, box_text({kWrapped, kFull, kStill}));
  ASSERT_TRUE(box.ready());
  const std::string a = box.addr();
  TempDir dir;

  RunResult run = run_n(dir, a);
  EXPECT_EQ(run.out, saving(a, kWrapped) + no_datalog(1) + no_datalog(2) + saving(a, kFull) +
                         saving(a, kStill) + no_datalog(3) + offline_from(4));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(dir.read(kWrapped.report_name(a)), kWrapped.report(a, 0, 40));
  ASSERT_TRUE(dir.exists(kState));

  // Each sensor that gained asks for exactly its new samples, the run ending
  // just before the head; the one that did not is not asked for data.
  size_t seen = box.request_hex().size();
  run = run_n(dir, a);
  EXPECT_EQ(run.out, saving(a, kWrapped) + no_datalog(1) + no_datalog(2) + saving(a, kFull) +
                         "Sensor on port 3 slot 1 has no new samples.\n" + no_datalog(3) +
                         offline_from(4));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(data_requests(box, seen), (std::vector<std::string>{request_hex(3, 0, 0, 10, 6, "pw"),
                                                                request_hex(3, 1, 1, 0, 6, "pw")}));
  // Across the two reports every sample appears once.
  EXPECT_EQ(dir.read(kWrapped.report_name(a)),
            kWrapped.report(a, 0, 40) + kWrapped.report(a, 1, 6));
  EXPECT_EQ(dir.read(kFull.report_name(a)), kFull.report(a, 0, 20) + kFull.report(a, 1, 6));
  EXPECT_EQ(dir.read(kStill.report_name(a)), kStill.report(a, 0, 3));

  // A walk that ends early says so to the scheduler and keeps the record.
  const std::string state = dir.read(kState);
  run = run_logfetch(dir, {"-i", a, "-p", "wrong", "-n"});
  EXPECT_EQ(run.out, "Wrong password !\n");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(dir.read(kState), state);
}

// While another run keeps the folder's record, a -n run saves nothing there,
// says so and ends with 2, alone or in a site run; then it goes on as usual.
TEST(Incremental, ARecordKeptByAnotherRunIsLeftAlonePosix) {
  SKIP_IF_LOGFETCH_UNDER_WINE(under_wine::kNativeLock);
  E2E_NEEDS_ROOT();
  BoxSim box(kHeldElsewhere, box_text({kStill}));
  ASSERT_TRUE(box.ready());
  const std::string a = box.addr();
  TempDir dir;
  dir.write("site.toml", "[[box]]\nname = \"lab\"\naddress = \"" + a +
                             "\"\npassword = \"pw\"\n");
  ASSERT_EQ(chmod(dir.file("site.toml").c_str(), 0600), 0);
  const int held = open(dir.file("logfetch.state.lock").c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  const std::string refused =
      "logfetch.state is in use by another run of logfetch: nothing is saved in its folder this "
      "time !\n";
  RunResult run = run_n(dir, a);
  EXPECT_EQ(run.out, refused);
  EXPECT_EQ(run.status, 2);
  run = run_logfetch(dir, {"-f", "site.toml", "-n"});
  EXPECT_EQ(run.out, refused + "Summary: lab: 0 sensors saved, 0 samples saved, folder in use by "
                               "another run\n");
  EXPECT_EQ(run.status, 2);
  EXPECT_FALSE(dir.exists(kStill.report_name(a)));
  EXPECT_FALSE(dir.exists(kState));
  close(held);
  EXPECT_EQ(run_n(dir, a).status, 0);
  EXPECT_EQ(dir.read(kStill.report_name(a)), kStill.report(a, 0, 3));
}

// Whatever makes the saved record disagree with the box gives a full
// download of that sensor and a note saying why.
TEST(Incremental, RecordThatDoesNotFitGivesAFullDownloadWithItsNote) {
  E2E_NEEDS_ROOT();
  const Sensor logged{1, 1, "temperature", 1, 2, 5, 40, ramp(30, 100, 1), 0};
  const Sensor no_interval{2, 1, "temperature", 1, 2, 0, 3, {5, 6, 7}, 0};
  BoxSim box(kRecordDoesNotFit, box_text({logged, no_interval}));
  ASSERT_TRUE(box.ready());
  const std::string a = box.addr();
  const std::string last = std::to_string(kLast);
  const struct {
    std::string record;  // without the address
    int port;            // of the note
    std::string why;
  } cases[] = {
      {"1 1 3 2 5 40 " + last, 1, "another sensor or datalog"},
      {"1 1 1 2 5 41 " + last, 1, "another sensor or datalog"},
      {"1 1 1 2 10 40 " + last, 1, "logging interval changed"},
      {"1 1 1 2 5 40 " + std::to_string(kLast + 300), 1, "box clock set back"},
      {"1 1 1 2 5 40 " + std::to_string(kLast - 100), 1, "newest sample off the logging interval"},
      {"1 1 1 2 5 40 " + std::to_string(kLast - 31 * 300), 1,
       "more new samples than the datalog holds"},
      {"2 1 1 2 0 3 " + last, 2, "logging interval is 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.record);
    TempDir dir;
    dir.write(kState, state_line(a, c.record));
    const size_t seen = box.request_hex().size();
    const RunResult run = run_n(dir, a);
    const std::string note = "Sensor on port " + std::to_string(c.port) + " slot 1: " + c.why +
                             ", all samples are downloaded.\n";
    EXPECT_EQ(run.out, (c.port == 1 ? note : "") + saving(a, logged) + no_datalog(1) +
                           (c.port == 2 ? note : "") + saving(a, no_interval) + no_datalog(2) +
                           offline_from(3));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(data_requests(box, seen),
              (std::vector<std::string>{request_hex(3, 0, 0, 0, 30, "pw"),
                                        request_hex(3, 1, 0, 0, 3, "pw")}));
    EXPECT_EQ(dir.read(logged.report_name(a)), logged.report(a, 0, 30));
  }
}

// Lines that make no sense cost their sensors a full download, never the
// run; a state file that cannot be read or written costs every sensor one.
TEST(Incremental, DamagedStateFile) {
  E2E_NEEDS_ROOT();
  const Sensor first{1, 1, "temperature", 1, 2, 5, 40, ramp(30, 100, 1), 0};
  const Sensor second{2, 1, "temperature", 1, 2, 5, 10, ramp(10, 0, 2), 0};
  BoxSim box(kDamagedState, box_text({first, second}));
  ASSERT_TRUE(box.ready());
  const std::string a = box.addr();
  const std::string last = std::to_string(kLast);
  {
    TempDir dir;
    dir.write(kState, "# comment\n" + state_line(a, "1 1 1 2 5 40 " + std::to_string(kLast - 600)) +
                          "junk\n" + state_line(a, "2 1 1 2 5 10 " + last) +
                          state_line(a, "2 1 1 2 5 10 " + last) +
                          state_line(a, "9 1 1 2 5 10 " + last) + std::string("\0\xff\n", 3) +
                          state_line(a, "1 2 1 2 5 40 " + last + " 1"));
    size_t seen = box.request_hex().size();
    RunResult run = run_n(dir, a);
    EXPECT_EQ(
        run.out,
        "5 line(s) of logfetch.state not understood, their sensors are downloaded in full.\n" +
            saving(a, first) + no_datalog(1) + saving(a, second) + no_datalog(2) + offline_from(3));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(data_requests(box, seen),
              (std::vector<std::string>{request_hex(3, 0, 0, 28, 2, "pw"),
                                        request_hex(3, 1, 0, 0, 10, "pw")}));
    EXPECT_EQ(dir.read(first.report_name(a)), first.report(a, 0, 2));

    // The file was rewritten with what is known: nothing is new now.
    seen = box.request_hex().size();
    run = run_n(dir, a);
    EXPECT_EQ(run.out, "Sensor on port 1 slot 1 has no new samples.\n" + no_datalog(1) +
                           "Sensor on port 2 slot 1 has no new samples.\n" + no_datalog(2) +
                           offline_from(3));
    EXPECT_TRUE(data_requests(box, seen).empty());
  }
  {
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file(kState).c_str(), 0755), 0);
    const RunResult run = run_n(dir, a);
    // One commit for the box, at the end of its walk.
    EXPECT_EQ(run.out, "Can't read logfetch.state, all samples are downloaded.\n" +
                           saving(a, first) + no_datalog(1) + saving(a, second) + no_datalog(2) +
                           offline_from(3) + "Can't save logfetch.state !\n");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(dir.read(first.report_name(a)), first.report(a, 0, 30));
  }
}

// A report that could not be written leaves the record as it was: the next
// run downloads those samples again.
TEST(Incremental, FailedReportWriteKeepsTheRecordPosix) {
  SKIP_IF_LOGFETCH_UNDER_WINE(under_wine::kPosixDevice);
  E2E_NEEDS_ROOT();
  const Sensor s{1, 1, "temperature", 1, 2, 5, 40, ramp(30, 100, 1), 6};
  BoxSim box(kWriteFails, box_text({s}));
  ASSERT_TRUE(box.ready());
  const std::string a = box.addr();
  TempDir dir;
  ASSERT_EQ(run_n(dir, a).status, 0);
  const std::string state = dir.read(kState);
  const std::string report = s.report_name(a);
  ASSERT_EQ(rename(dir.file(report).c_str(), dir.file("kept").c_str()), 0);
  ASSERT_EQ(symlink("/dev/full", dir.file(report).c_str()), 0);

  RunResult run = run_n(dir, a);
  // The new samples the report lacks wait on the box, for hours yet.
  EXPECT_EQ(run.out, saving(a, s) + "Error writing data to file:" + report + " !\n" +
                         no_datalog(1) + offline_from(2) +
                         "Port 1 slot 1: 3 h left before the box overwrites samples that the "
                         "report has not saved.\n");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(dir.read(kState), state);

  ASSERT_EQ(rename(dir.file("kept").c_str(), dir.file(report).c_str()), 0);
  const size_t seen = box.request_hex().size();
  run = run_n(dir, a);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(data_requests(box, seen), std::vector<std::string>{request_hex(3, 0, 0, 30, 12, "pw")});
  EXPECT_EQ(dir.read(report), s.report(a, 0, 30) + s.report(a, 2, 12));
}

// -o with -n starts over: fresh reports with every sample, then new ones.
TEST(Incremental, OverwriteStartsOver) {
  E2E_NEEDS_ROOT();
  const Sensor s{1, 1, "temperature", 1, 2, 5, 40, ramp(30, 100, 1), 6};
  BoxSim box(kOverwrite, box_text({s}));
  ASSERT_TRUE(box.ready());
  const std::string a = box.addr();
  TempDir dir;
  ASSERT_EQ(run_n(dir, a).status, 0);

  RunResult run = run_n(dir, a, {"-o"});
  EXPECT_EQ(run.out, saving(a, s) + no_datalog(1) + offline_from(2));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(dir.read(s.report_name(a)), s.report(a, 1, 36));

  const size_t seen = box.request_hex().size();
  run = run_n(dir, a);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(data_requests(box, seen), std::vector<std::string>{request_hex(3, 0, 0, 36, 6, "pw")});
  EXPECT_EQ(dir.read(s.report_name(a)), s.report(a, 1, 36) + s.report(a, 2, 6));
}

namespace {
// The history's rows, each checked to be whole: two commas, a CRLF.
std::vector<std::string> whole_rows(const std::string& text, bool* torn) {
  std::vector<std::string> rows;
  *torn = !text.empty() && text.size() < 2;
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find("\r\n", at);
    if (end == std::string::npos) {
      *torn = true;
      break;
    }
    const std::string row = text.substr(at, end - at);
    if (std::count(row.begin(), row.end(), ',') != 2) *torn = true;
    rows.push_back(row);
    at = end + 2;
  }
  return rows;
}
}  // namespace

// A disk that fills mid-walk and is freed again costs no sample and doubles
// none: each report is whole blocks holding every sample once, each history
// every sample once, in order, and the run that hit the full disk said so.
TEST(Incremental, FullDiskThenFreedCatchesUpPosix) {
  SKIP_IF_LOGFETCH_UNDER_WINE("fills a Linux file system (tmpfs) in a mount namespace of its own");
  E2E_NEEDS_ROOT();
  const std::vector<Sensor> sensors = {
      {1, 1, "temperature", 1, 2, 5, 2000, ramp(1000, 100, 1), 10},
      {2, 1, "temperature", 1, 2, 5, 2000, ramp(1000, 300, 1), 10},
      {3, 1, "temperature", 1, 2, 5, 2000, ramp(1000, 500, 1), 10},
  };
  BoxSim box(kFullDisk, box_text(sensors));
  ASSERT_TRUE(box.ready());
  const std::string a = box.addr();
  TempDir dir;
  // The test process and the logfetch it starts get a mount table of their
  // own, so the small file system is seen by nobody else.
  if (unshare(CLONE_NEWNS) != 0) GTEST_SKIP() << "no mount namespace: " << std::strerror(errno);
  ASSERT_EQ(mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << std::strerror(errno);
  ASSERT_EQ(mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=512k"), 0) << std::strerror(errno);

  // Room for the first sensor's report and history and half the next report.
  struct statvfs fs {};
  ASSERT_EQ(statvfs(dir.path().c_str(), &fs), 0);
  const long long room = static_cast<long long>(fs.f_bavail) * fs.f_bsize;
  const long long keep = kFullDiskRoom;
  ASSERT_GT(room, keep);
  {
    std::FILE* filler = std::fopen(dir.file("filler").c_str(), "wb");
    ASSERT_NE(filler, nullptr);
    const std::vector<char> block(4096, 'x');
    for (long long left = room - keep; left > 0; left -= static_cast<long long>(block.size()))
      std::fwrite(block.data(), 1, static_cast<size_t>(std::min<long long>(left, 4096)), filler);
    std::fclose(filler);
  }
  const RunResult full = run_n(dir, a, {"-c"});
  EXPECT_EQ(full.status, 2) << full.out;
  ASSERT_EQ(std::remove(dir.file("filler").c_str()), 0);
  const RunResult freed = run_n(dir, a, {"-c"});
  EXPECT_EQ(freed.status, 0) << freed.out;

  for (const Sensor& s : sensors) {
    SCOPED_TRACE(s.port);
    // Whole blocks only: the first run's block and the gained samples, or,
    // when the first run's report was cut back, one block of everything.
    const std::string report = dir.read(s.report_name(a));
    EXPECT_TRUE(report == s.report(a, 0, 1000) + s.report(a, 1, 10) ||
                report == s.report(a, 1, 1010))
        << report.substr(0, 200);
    // Depends on the history writer never leaving a torn row of its own.
    bool torn = false;
    const std::vector<std::string> rows =
        whole_rows(dir.read(a + "_p" + std::to_string(s.port) + "_s1_temperature.csv"), &torn);
    EXPECT_FALSE(torn);
    ASSERT_EQ(rows.size(), 1011u);  // the header and every sample once
    for (size_t i = 2; i < rows.size(); ++i) EXPECT_LT(rows[i - 1], rows[i]) << i;
  }
}

// An output that could not take a sensor's samples is what the box's ring
// must keep: its headroom, by the box's clock, is in the textfile and, under
// a day, on the console; once it has caught up the whole ring is left again.
TEST(Incremental, HeadroomOfTheOutputFurthestBehind) {
  E2E_NEEDS_ROOT();
  const Sensor s{1, 1, "temperature", 1, 2, 1, 500, ramp(400, 100, 1)};
  BoxSim box(kHeadroom, box_text({s}));
  ASSERT_TRUE(box.ready());
  const std::string a = box.addr();
  TempDir dir;
  const std::string history = a + "_p1_s1_temperature.csv";
  ASSERT_EQ(mkdir(dir.file(history).c_str(), 0755), 0);  // the history cannot be written
  const RunResult behind = run_n(dir, a, {"-c", "-m", "run.prom"});
  EXPECT_EQ(behind.status, 2);
  // (500 - 400) one-minute intervals from the newest sample, less the 429 s
  // the box's clock is past it.
  const int64_t left = 100 * 60 - (kClock - kLast);
  EXPECT_NE(behind.out.find("Port 1 slot 1: 1 h left before the box overwrites samples that the "
                            "CSV history has not saved.\n"),
            std::string::npos)
      << behind.out;
  const std::string series = "logfetch_sensor_headroom_seconds{box=\"" + a + "\",address=\"" + a +
                             "\",port=\"1\",slot=\"1\",type=\"temperature\"} ";
  EXPECT_NE(dir.read("run.prom").find(series + std::to_string(left) + "\n"), std::string::npos)
      << dir.read("run.prom");

  ASSERT_EQ(rmdir(dir.file(history).c_str()), 0);
  const RunResult caught_up = run_n(dir, a, {"-c", "-m", "run.prom"});
  EXPECT_EQ(caught_up.status, 0) << caught_up.out;
  EXPECT_EQ(caught_up.out.find("left before the box overwrites"), std::string::npos);
  EXPECT_NE(dir.read("run.prom").find(series + std::to_string(500 * 60 - (kClock - kLast)) + "\n"),
            std::string::npos);
}
