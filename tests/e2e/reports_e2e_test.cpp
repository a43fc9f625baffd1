// The reports the real program writes: every sample width, a wrapping ring,
// the box's zone time, append against overwrite, and the report faults that
// were mended.
#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/e2e/expected_report.h"
#include "tests/e2e/harness.h"

namespace {

std::string offline_from(int port) {
  std::string s;
  for (int p = port; p <= 8; ++p) s += "Port " + std::to_string(p) + " offline.\n";
  return s;
}

// The requests of a walk: for each downloaded sensor its status request
// (carrying the previous data request's start and count in bytes 3-6) and
// one data request per chunk; then one status request for each offline port
// from `offline_from` (counted from 0) on.
struct Download {
  int port, slot;
  int first, count, capacity, size;
};

std::vector<std::string> expected_requests(const std::vector<Download>& sensors, int offline_from,
                                           const std::string& pw) {
  std::vector<std::string> out;
  int start = 0, n = 0;
  for (const Download& d : sensors) {
    out.push_back(request_hex(2, d.port, d.slot, start, n, pw));
    const int chunk = 1146 / d.size;
    for (int done = 0; done < d.count; done += n) {
      n = std::min(chunk, d.count - done);
      start = (d.first + done) % d.capacity;
      out.push_back(request_hex(3, d.port, d.slot, start, n, pw));
    }
  }
  for (int port = offline_from; port < 8; ++port)
    out.push_back(request_hex(2, port, 0, start, n, pw));
  return out;
}

ReportSensor base_sensor(const std::string& addr) {
  ReportSensor s;
  s.address = addr;
  s.system_name = "Plant";
  s.device_time = 1796685429;
  s.last_log_time = 1796685000;
  return s;
}

}  // namespace

TEST(E2eReports, FullBoxEverySampleSizeAndAWrappingRing) {
  E2E_NEEDS_ROOT();
  BoxSim box(box_n::kFullBox, R"(
system Plant
clock 1796685429
password pw
[port 1 slot 1]
type temperature
description One byte, two chunks
unit C
sample_size 1
interval 1
capacity 2000
head 100
avg_high 50
avg_low -10
inst_high 51
inst_low -11
last_log_time 1796685000
generate 1500 wave 20 30 50
[port 1 slot 2]
type humidity
description Two bytes past the ring's end
unit %RH
sample_size 2
interval 15
capacity 1000
head 100
last_log_time 1796685000
generate 300 ramp -150 1
[port 2 slot 1]
type 4-20ma
description Four bytes in tenths
unit mA
sample_size 4
interval 5
avg_high 123
avg_low -5
inst_high -120
inst_low -32768
last_log_time 1796685000
generate 300 ramp -40000 334
[port 2 slot 2]
type voltage
description A full ring of 32767
unit V
sample_size 2
interval 1
capacity 32767
head 5000
last_log_time 1796685000
generate 32767 ramp -16000 1
)");
  ASSERT_TRUE(box.ready());
  const std::string a = box.addr();
  TempDir dir;
  const RunResult run = run_logfetch(dir, {"-i", a, "-p", "pw"});
  EXPECT_EQ(run.out, "Saving data to " + a + "_p1_temperature.txt ...\n" + "Saving data to " + a +
                         "_p1_humidity.txt ...\n" + "Saving data to " + a + "_p2_4-20ma.txt ...\n" +
                         "Saving data to " + a + "_p2_voltage.txt ...\n" + offline_from(3));
  EXPECT_EQ(run.status, 0);

  ReportSensor one = base_sensor(a);
  one.description = "One byte, two chunks";
  one.unit = "C";
  one.interval = 1;
  one.avg_high = 50;
  one.avg_low = -10;
  one.inst_high = 51;
  one.inst_low = -11;
  one.samples = wave(1500, 20, 30, 50);
  EXPECT_EQ(dir.read(a + "_p1_temperature.txt"), expected_utc_report(one));

  ReportSensor two = base_sensor(a);
  two.type = 3;
  two.description = "Two bytes past the ring's end";
  two.unit = "%RH";
  two.interval = 15;
  two.samples = ramp(300, -150, 1);
  EXPECT_EQ(dir.read(a + "_p1_humidity.txt"), expected_utc_report(two));

  ReportSensor four = base_sensor(a);
  four.port = 2;
  four.type = 2;
  four.description = "Four bytes in tenths";
  four.unit = "mA";
  four.interval = 5;
  four.avg_high = 123;
  four.avg_low = -5;
  four.inst_high = -120;
  four.inst_low = -32768;
  four.samples = ramp(300, -40000, 334);
  EXPECT_EQ(dir.read(a + "_p2_4-20ma.txt"), expected_utc_report(four));

  ReportSensor full = base_sensor(a);
  full.port = 2;
  full.type = 14;
  full.description = "A full ring of 32767";
  full.unit = "V";
  full.interval = 1;
  full.samples = ramp(32767, -16000, 1);
  EXPECT_EQ(dir.read(a + "_p2_voltage.txt"), expected_utc_report(full));

  // Chunks of 1146, 573 and 286 samples; runs past the ring's end asked for
  // in one request.
  const std::vector<std::string> want = expected_requests({{0, 0, 600, 1500, 2000, 1},
                                                           {0, 1, 800, 300, 1000, 2},
                                                           {1, 0, 0, 300, 300, 4},
                                                           {1, 1, 5000, 32767, 32767, 2}},
                                                          2, "pw");
  EXPECT_EQ(box.request_hex(), want);
  EXPECT_EQ(want[1], request_hex(3, 0, 0, 600, 1146, "pw"));
  EXPECT_EQ(want[2], request_hex(3, 0, 0, 1746, 354, "pw"));
  EXPECT_EQ(want[3], request_hex(2, 0, 1, 1746, 354, "pw"));
}

// Zone time with -t: a zone whose rules are in local time (Eastern, the
// April change) and one whose rules are in UTC (Central Europe, the October
// change), each across the change.
TEST(E2eReports, LocalTimeOfTheBoxZone) {
  E2E_NEEDS_ROOT();
  BoxSim box(box_n::kLocalTime, R"(
system Zones
clock 1112512300
password pw
[port 1 slot 1]
type temperature
description Eastern
unit F
zone 35
interval 10
last_log_time 1112512200
samples 50 51 52
[port 2 slot 1]
type temperature
description Central Europe
unit C
zone 15
interval 10
last_log_time 1130641200
samples 10 11 12
)");
  ASSERT_TRUE(box.ready());
  const std::string a = box.addr();
  TempDir dir;
  const RunResult run = run_logfetch(dir, {"-t", "-i", a, "-p", "pw"});
  EXPECT_EQ(run.out, "Saving data to " + a + "_p1_temperature.txt ...\n" +
                         "Sensor on port 1 has no datalog.\n" + "Saving data to " + a +
                         "_p2_temperature.txt ...\n" + "Sensor on port 2 has no datalog.\n" +
                         offline_from(3));
  const std::string head =
      "Data download from Vellorix.\nVellorix address: " + a + "\nSystem name : Zones\n";
  EXPECT_EQ(dir.read(a + "_p1_temperature.txt"),
            head +
                "Sensor port : 1\n"
                "Sensor description : Eastern\n"
                "Current Vellorix time (GMT-05:00, DST observed) Eastern Time (US & Canada) : "
                "03/04/2005 03:11:40\n"
                "Average high value : 0 F\n"
                "Average low value : 0 F\n"
                "Instantaneous high value : 0 F\n"
                "Instantaneous low value : 0 F\n"
                "Average value : 51.0 F\n"
                "04/03/2005 01:50:00, 50\n"
                "04/03/2005 03:00:00, 51\n"
                "04/03/2005 03:10:00, 52\n"
                "\n");
  // One clock for both (April, daylight time in Central Europe too); the
  // samples of port 2 cross the October change at 03:00 UTC, where this zone's
  // rule puts it.
  EXPECT_EQ(dir.read(a + "_p2_temperature.txt"),
            head +
                "Sensor port : 2\n"
                "Sensor description : Central Europe\n"
                "Current Vellorix time (GMT+01:00, DST observed) Amsterdam, Berlin, Paris, Rome, "
                "Stockholm, Vienna : 03/04/2005 09:11:40\n"
                "Average high value : 0 C\n"
                "Average low value : 0 C\n"
                "Instantaneous high value : 0 C\n"
                "Instantaneous low value : 0 C\n"
                "Average value : 11.0 C\n"
                "10/30/2005 04:40:00, 10\n"
                "10/30/2005 04:50:00, 11\n"
                "10/30/2005 04:00:00, 12\n"
                "\n");
}

TEST(E2eReports, OverwriteAgainstAppend) {
  E2E_NEEDS_ROOT();
  // Two sensors of one type on one port share a file name.
  BoxSim box(box_n::kOverwrite, R"(
system Twins
clock 1796685429
[port 1 slot 1]
description First
unit C
last_log_time 1796685000
samples 1 2
[port 1 slot 2]
description Second
unit C
last_log_time 1796685000
samples 3 4 5
)");
  ASSERT_TRUE(box.ready());
  const std::string a = box.addr();
  const std::string name = a + "_p1_temperature.txt";
  ReportSensor first = base_sensor(a);
  first.system_name = "Twins";
  first.description = "First";
  first.unit = "C";
  first.samples = {1, 2};
  ReportSensor second = first;
  second.description = "Second";
  second.samples = {3, 4, 5};
  const std::string both = expected_utc_report(first) + expected_utc_report(second);

  TempDir dir;
  dir.write(name, "an earlier line\n");
  const std::string saving = "Saving data to " + name + " ...\n";
  struct Step {
    std::vector<std::string> extra;
    std::string file;
  };
  const Step steps[] = {
      {{}, "an earlier line\n" + both},  // appended
      {{"-o"}, both},                    // emptied once, the second report after the first
      {{}, both + both},
      {{"/O"}, both},
  };
  for (const Step& s : steps) {
    std::vector<std::string> args = {"-i", a, "-p", "x"};
    args.insert(args.end(), s.extra.begin(), s.extra.end());
    const RunResult run = run_logfetch(dir, args);
    EXPECT_EQ(run.out, saving + saving + offline_from(2));
    EXPECT_EQ(dir.read(name), s.file) << (s.extra.empty() ? "append" : s.extra[0]);
  }
}

TEST(E2eReports, NegativeTenths) {
  E2E_NEEDS_ROOT();
  BoxSim box(box_n::kTenths, R"(
system Loop
clock 1796685429
[port 3 slot 2]
type 5
description Level
unit m
avg_high -123
avg_low -5
inst_high -120
inst_low 7
last_log_time 1796685000
samples -123 -5 -120 100 200
)");
  ASSERT_TRUE(box.ready());
  const std::string a = box.addr();
  TempDir dir;
  const RunResult run = run_logfetch(dir, {"-i", a, "-p", "x"});
  EXPECT_EQ(run.out,
            "Port 1 offline.\nPort 2 offline.\nSensor on port 3 has no datalog.\n"
            "Saving data to " +
                a + "_p3_atod.txt ...\n" + offline_from(4));
  EXPECT_EQ(dir.read(a + "_p3_atod.txt"),
            "Data download from Vellorix.\n"
            "Vellorix address: " +
                a +
                "\n"
                "System name : Loop\n"
                "Sensor port : 3\n"
                "Sensor description : Level\n"
                "Current Vellorix time (UTC) Coordinated Universal Time : 07/12/2026 23:17:09\n"
                "Average high value : -12.3 m\n"
                "Average low value : -0.5 m\n"
                "Instantaneous high value : -12.0 m\n"
                "Instantaneous low value : 0.7 m\n"
                "Average value : 1.0 m\n"
                "12/07/2026 22:30:00, -12.3\n"
                "12/07/2026 22:40:00, -0.5\n"
                "12/07/2026 22:50:00, -12.0\n"
                "12/07/2026 23:00:00, 10.0\n"
                "12/07/2026 23:10:00, 20.0\n"
                "\n");
}

// An address text that inet_aton still reads as 127.0.NET.n, `length`
// characters long: the first part padded with octal zeros.
std::string padded_addr(int n, size_t length) {
  const std::string plain = box_addr(n);
  const std::string rest = plain.substr(plain.find('.'));
  return std::string(length - rest.size() - 3, '0') + "177" + rest;
}

TEST(E2eReports, NameThatDoesNotFitIsNotWritten) {
  E2E_NEEDS_ROOT();
  BoxSim box(box_n::kNameTooLong,
             "clock 1796685429\n[port 1 slot 1]\nsamples 1\n"
             "[port 1 slot 2]\nerror 0xFB\n");
  ASSERT_TRUE(box.ready());
  // The name is the address, "_p1_temperature.txt" (19 characters) and its
  // terminating zero in a buffer of 100.
  const std::string fits = padded_addr(box_n::kNameTooLong, 80);
  const std::string too_long = padded_addr(box_n::kNameTooLong, 81);
  ASSERT_EQ(fits.size(), 80u);
  {
    TempDir dir;
    const RunResult run = run_logfetch(dir, {"-i", fits, "-p", "x"});
    const std::string name = fits + "_p1_temperature.txt";
    EXPECT_EQ(run.out, "Saving data to " + name + " ...\n" + offline_from(2));
    EXPECT_EQ(dir.list(), std::vector<std::string>{name});
    EXPECT_NE(dir.read(name).find("Vellorix address: " + fits + "\n"), std::string::npos);
  }
  {
    TempDir dir;
    const RunResult run = run_logfetch(dir, {"-i", too_long, "-p", "x"});
    EXPECT_EQ(run.out, "File name too long for sensor on port 1 !\n" + offline_from(2));
    EXPECT_EQ(run.status, 2);  // a report not written
    EXPECT_TRUE(dir.list().empty());
  }
}

// Writing to a full device fails after the file was opened.
TEST(E2eReports, WriteErrorIsReported) {
  E2E_NEEDS_ROOT();
  BoxSim box(box_n::kWriteError,
             "clock 1796685429\n[port 1 slot 1]\nsamples 1\n"
             "[port 1 slot 2]\ntype humidity\nsamples 2\n");
  ASSERT_TRUE(box.ready());
  const std::string a = box.addr();
  TempDir dir;
  ASSERT_EQ(symlink("/dev/full", dir.file(a + "_p1_temperature.txt").c_str()), 0);
  const RunResult run = run_logfetch(dir, {"-i", a, "-p", "x"});
  EXPECT_EQ(run.out, "Saving data to " + a + "_p1_temperature.txt ...\n" +
                         "Error writing data to file:" + a + "_p1_temperature.txt !\n" +
                         "Saving data to " + a + "_p1_humidity.txt ...\n" + offline_from(2));
  EXPECT_EQ(run.status, 2);  // a report not written
  EXPECT_TRUE(dir.exists(a + "_p1_humidity.txt"));
}

TEST(E2eReports, FileThatCannotBeOpened) {
  E2E_NEEDS_ROOT();
  BoxSim box(box_n::kCannotOpen,
             "clock 1796685429\n[port 1 slot 1]\nsamples 1\n"
             "[port 1 slot 2]\ntype humidity\nsamples 2\n");
  ASSERT_TRUE(box.ready());
  const std::string a = box.addr();
  TempDir dir;
  ASSERT_EQ(mkdir(dir.file(a + "_p1_temperature.txt").c_str(), 0755), 0);
  const RunResult run = run_logfetch(dir, {"-i", a, "-p", "x"});
  EXPECT_EQ(run.out, "Can't open file:" + a + "_p1_temperature.txt to write data !\n" +
                         "Saving data to " + a + "_p1_humidity.txt ...\n" + offline_from(2));
  EXPECT_EQ(run.status, 2);  // a report not written
}

// Values a box should never send but can: the reports still come out, with
// the texts cut at their field's width, code 255 named by the empty word,
// zone 255 taken as UTC, and times at both ends of the 32-bit range.
TEST(E2eReports, HostileValuesStillGiveSoundReports) {
  E2E_NEEDS_ROOT();
  BoxSim box(box_n::kHostile, R"(
system 123456789012345678901234567890123456
clock 2147483647
[port 1 slot 1]
type 255
zone 255
description ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789
unit 0123456789abcdef
interval 10
last_log_time -2147482448
samples -1 0 1
[port 1 slot 2]
type 2
zone 255
description Loop current
unit mA
sample_size 4
interval 255
last_log_time 2147483647
samples -2147483648 -123 -5 2147483647
)");
  ASSERT_TRUE(box.ready());
  const std::string a = box.addr();

  ReportSensor odd;
  odd.address = a;
  odd.system_name = "123456789012345678901234567890123456";
  odd.description = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  odd.unit = "0123456789abcdef";
  odd.type = 255;
  odd.device_time = INT32_MAX;
  odd.last_log_time = -2147482448;
  odd.samples = {-1, 0, 1};
  ReportSensor loop = odd;
  loop.description = "Loop current";
  loop.unit = "mA";
  loop.type = 2;
  loop.interval = 255;
  loop.last_log_time = INT32_MAX;
  loop.samples = {INT32_MIN, -123, -5, INT32_MAX};
  const std::string odd_report = expected_utc_report(odd);
  ASSERT_NE(odd_report.find("12/13/1901 20:45:52, -1\n"), std::string::npos);
  ASSERT_NE(odd_report.find(" : 19/01/2038 03:14:07\n"), std::string::npos);

  // Zone 255 is UTC, so -t gives the same reports.
  for (const char* mode : {"", "-t"}) {
    TempDir dir;
    std::vector<std::string> args = {"-i", a, "-p", "x"};
    if (*mode) args.push_back(mode);
    const RunResult run = run_logfetch(dir, args);
    EXPECT_EQ(run.out, "Saving data to " + a + "_p1_.txt ...\n" + "Saving data to " + a +
                           "_p1_4-20ma.txt ...\n" + offline_from(2))
        << mode;
    EXPECT_EQ(dir.read(a + "_p1_.txt"), odd_report) << mode;
    EXPECT_EQ(dir.read(a + "_p1_4-20ma.txt"), expected_utc_report(loop)) << mode;
  }
}
