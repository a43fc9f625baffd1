#include "app/collected.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "tests/support/test_sensor.h"

using report_test::read_file;

namespace {
// The record's sensor of these tests: port 2 slot 1, a full 40-sample
// datalog of 2-byte temperatures every 5 minutes, the newest at `newest`.
SensorStatus port2_sensor(int32_t newest) {
  SensorStatus st{};
  st.port = 1;
  st.sensorType = 1;
  st.sampleSize = 2;
  st.logInterval = 5;
  st.logCapacity = 40;
  st.logCount = 40;
  st.lastLogTime = newest;
  return st;
}
}  // namespace

// With several outputs the download reaches back to the one furthest
// behind, each output is told only what it lacks, and a commit moves only the
// marks of the outputs written, keeping marks it does not know.
TEST(Collected, EachOutputCatchesUpFromItsOwnMark) {
  char dir[] = "/tmp/collected_test.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/logfetch.state";
  constexpr int32_t kMark = 1796685000, kStep = 5 * 60;
  {
    std::ofstream out(path, std::ios::binary);
    out << "10.0.0.1 2 1 1 2 5 40 " << kMark << " history=" << kMark - 3 * kStep
        << " export=" << kMark << "\n";
  }
  const SensorStatus st = port2_sensor(kMark + 2 * kStep);

  collected state(path);
  state.load();
  EXPECT_EQ(state.plan("10.0.0.1", 0, st), 2);  // the report alone
  state.use({kReportMark, kHistoryMark});
  EXPECT_EQ(state.plan("10.0.0.1", 0, st), 5);
  EXPECT_EQ(state.lacking("10.0.0.1", 0, st, kReportMark), 2);
  EXPECT_EQ(state.lacking("10.0.0.1", 0, st, kHistoryMark), 5);
  EXPECT_EQ(state.lacking("10.0.0.1", 0, st, "nothing"), -1);
  EXPECT_EQ(state.lacking("10.0.0.1", 1, st, kReportMark), -1);

  // The tail an output is given: its newest samples, the newest last.
  const uint8_t samples[] = {1, 0, 2, 0, 3, 0, 4, 0, 5, 0};
  reading r;
  r.address = "10.0.0.1";
  r.status = &st;
  r.samples = samples;
  r.count = 5;
  r.sample_size = 2;
  const reading tail = newest_samples(r, 2);
  ASSERT_EQ(tail.count, 2);
  EXPECT_EQ(tail.get_value(0), 4);
  EXPECT_EQ(tail.get_value(1), 5);
  EXPECT_EQ(newest_samples(r, -1).count, 5);

  box_commit c;
  c.moves.push_back({"10.0.0.1", 0, st, {kReportMark}});
  ASSERT_TRUE(state.commit(c));
  const std::string newest = std::to_string(kMark + 2 * kStep);
  EXPECT_EQ(read_file(path),
            "# address port slot type sample_size interval capacity newest_sample_time\n"
            "10.0.0.1 2 1 1 2 5 40 " +
                newest + " export=" + std::to_string(kMark) +
                " history=" + std::to_string(kMark - 3 * kStep) + "\n");
  state.load();
  EXPECT_EQ(state.plan("10.0.0.1", 0, st), 5);  // the history is still behind
  std::remove(path.c_str());
  rmdir(dir);
}

// The record's file lines: a file longer than its committed length is cut
// back to it before anything is written, a shorter one makes its outputs
// take the whole datalog again, a rename a commit asked for and did not see
// done is done, and records without file lines are read as before.
TEST(Collected, FilesGoBackToWhatTheRecordCommitted) {
  char dir[] = "/tmp/collected_test.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string folder = std::string(dir) + "/";
  const auto write = [&](const std::string& name, const std::string& text) {
    std::ofstream(folder + name, std::ios::binary) << text;
  };
  write("10.0.0.1_p2_temperature.txt", "committed|torn by a kill");
  write("10.0.0.1_p2_s1_temperature.csv", "short");
  write("10.0.0.1.X.om.7.tmp", "held");
  write("10.0.0.1.Y.om.8.tmp", "never committed");
  write("logfetch.state",
        "10.0.0.1 2 1 1 2 5 40 1796685000 history=1796685000\n"
        "10 0 0\n"
        "file 10.0.0.1_p2_temperature.txt 9\n"
        "file 10.0.0.1_p2_s1_temperature.csv 80\n"
        "file ../elsewhere 3\n"
        "pending 10.0.0.1.X.om.7.tmp 10.0.0.1.X.om\n");
  const SensorStatus st = port2_sensor(1796685000 + 300);

  report_test::capture_sink sink;
  collected state(folder + "logfetch.state");
  state.load(sink);
  state.repair(sink);
  EXPECT_EQ(sink.text,
            "2 line(s) of " + folder + "logfetch.state not understood, their sensors are downloaded in full.\n" +
            folder + "10.0.0.1_p2_s1_temperature.csv is 75 bytes shorter than its committed length: its samples are written again.\n"
            "Cut " + folder + "10.0.0.1_p2_temperature.txt back to its committed length (15 bytes dropped).\n"
            "Renamed " + folder + "10.0.0.1.X.om.7.tmp to " + folder + "10.0.0.1.X.om, as the last commit asked.\n"
            "Removed " + folder + "10.0.0.1.Y.om.8.tmp, written by a run that did not commit it.\n");
  EXPECT_EQ(read_file(folder + "10.0.0.1_p2_temperature.txt"), "committed");
  EXPECT_EQ(read_file(folder + "10.0.0.1.X.om"), "held");
  EXPECT_EQ(state.lacking("10.0.0.1", 0, st, kReportMark), 1);
  EXPECT_EQ(state.lacking("10.0.0.1", 0, st, kHistoryMark), -1);  // its file lost its end
  EXPECT_EQ(state.committed_length("10.0.0.1_p2_temperature.txt"), 9);

  // One commit: marks, lengths, and the rename after the record.
  write("10.0.0.1.Z.om.9.tmp", "new");
  box_commit c;
  c.moves.push_back({"10.0.0.1", 0, st, {kReportMark, kHistoryMark}});
  c.files["10.0.0.1_p2_temperature.txt"] = 9;
  c.renames.push_back({"10.0.0.1.Z.om.9.tmp", "10.0.0.1.Z.om"});
  ASSERT_TRUE(state.commit(c, sink));
  EXPECT_EQ(read_file(folder + "logfetch.state"),
            "# address port slot type sample_size interval capacity newest_sample_time\n"
            "10.0.0.1 2 1 1 2 5 40 1796685300 history=1796685300\n"
            "# file name committed_length\n"
            "file 10.0.0.1_p2_s1_temperature.csv 80\n"
            "file 10.0.0.1_p2_temperature.txt 9\n"
            "pending 10.0.0.1.Z.om.9.tmp 10.0.0.1.Z.om\n");
  EXPECT_EQ(read_file(folder + "10.0.0.1.Z.om"), "new");
  EXPECT_EQ(state.lacking("10.0.0.1", 0, st, kHistoryMark), 0);

  // Claimed before its first write: there is no file to flush, and the
  // claim must still be saved.
  box_commit claim;
  claim.files["10.0.0.1_p3_temperature.txt"] = 0;
  ASSERT_TRUE(state.commit(claim, sink));
  EXPECT_EQ(state.committed_length("10.0.0.1_p3_temperature.txt"), 0);
  EXPECT_NE(read_file(folder + "logfetch.state").find("file 10.0.0.1_p3_temperature.txt 0\n"),
            std::string::npos);
  std::system(("rm -rf " + folder).c_str());
}

// Store marks ("store.NAME=time") beside the file outputs' marks: read and
// written back as they are, a store's mark of the same name as a file
// output's its own, and a line with a mark that is neither not trusted.
TEST(RecordFormat, StoreMarks) {
  const std::string line =
      "10.0.0.1 1 1 1 2 5 40 1796685000 influx=1796684700 store.influx=1796684400 "
      "store.prom-2_b=1796685000\n";
  record_contents c;
  EXPECT_EQ(parse_record(line, &c), 0);
  const record_sensor& s = c.sensors.at(record_key{"10.0.0.1", 1, 1});
  EXPECT_EQ(s.marks.at("influx"), 1796684700);
  EXPECT_EQ(s.marks.at("store.influx"), 1796684400);
  EXPECT_EQ(s.marks.at("store.prom-2_b"), 1796685000);
  EXPECT_EQ(format_record(c),
            "# address port slot type sample_size interval capacity newest_sample_time\n" + line);

  const char* const bad[] = {"store.=1", "store.Prom=1", "store.2prom=1", "store.a/b=1",
                             "stores.a=1", "store.aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa=1",
                             "store.report=x"};
  for (const char* word : bad) {
    EXPECT_EQ(parse_record(std::string("10.0.0.1 1 1 1 2 5 40 1796685000 ") + word + "\n", &c), 1)
        << word;
    EXPECT_TRUE(c.sensors.empty()) << word;
  }
  EXPECT_TRUE(store_name_ok("a"));
  EXPECT_TRUE(store_name_ok(std::string(kMaxStoreName, 'a')));
  EXPECT_FALSE(store_name_ok(std::string(kMaxStoreName + 1, 'a')));
}

// A box's stores count in its plan: a store without a mark takes the
// whole datalog, one behind takes the download back to its mark.
TEST(Collected, PlanReachesBackToTheBoxsStores) {
  char dir[] = "/tmp/collected_test.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/logfetch.state";
  constexpr int32_t kMark = 1796685000, kStep = 5 * 60;
  std::ofstream(path, std::ios::binary)
      << "10.0.0.1 2 1 1 2 5 40 " << kMark << " store.a=" << kMark - 4 * kStep << "\n";
  SensorStatus st{};
  st.port = 1;
  st.sensorType = 1;
  st.sampleSize = 2;
  st.logInterval = 5;
  st.logCapacity = 40;
  st.logCount = 40;
  st.lastLogTime = kMark + kStep;
  collected state(path);
  report_test::capture_sink sink;
  state.load(sink);
  EXPECT_EQ(state.plan("10.0.0.1", 0, st, sink), 1);
  EXPECT_EQ(state.plan("10.0.0.1", 0, st, sink, {"store.a"}), 5);
  EXPECT_EQ(state.plan("10.0.0.1", 0, st, sink, {"store.a", "store.b"}), -1);
  std::remove(path.c_str());
  rmdir(dir);
}
