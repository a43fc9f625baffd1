#include "app/collected.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "platform/files.h"
#include "report/csv_history.h"
#include "report/datafile.h"
#include "report/exports.h"
#include "report/file_names.h"
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
  report_test::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.path() + "/logfetch.state";
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
}

// The record's file lines: a file longer than its committed length is cut
// back to it before anything is written, a shorter one without a whole
// sample makes its outputs take the whole datalog again, a rename a commit
// asked for and did not see done is done, and records without file lines are
// read as before.
TEST(Collected, FilesGoBackToWhatTheRecordCommitted) {
  report_test::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string folder = dir.path() + "/";
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
}

namespace {

enum class written { report, history, line_protocol };

// One way a file loses its tail, and what repair and plan make of it.
struct cut_case {
  const char* what;
  written by;
  bool zone_time;          // the report with -t, in the box's zone 15
  int32_t newest;          // of the 40 samples, 5 minutes apart
  int keep;                // sample lines left whole (the line protocol: both sensors')
  bool mid_line;           // and half of the next one
  int32_t mark_shift;      // the output's mark, from the newest sample
  int planned, planned_b;  // plan of port 2, and of port 3 (line protocol)
  const char* said;        // after "... shorter than its committed length: "
};

constexpr int32_t kDecember = 1796685000;  // 2026-12-07T23:10:00Z
// 04:50 in zone 15, an hour after its clock went back from 05:00 to 04:00.
constexpr int32_t kClockBack = 1792900200;  // 2026-10-25T03:50:00Z

const cut_case kCutCases[] = {
    {"report, UTC, at a line end", written::report, false, kDecember, 30, false, 0, 10, 0,
     "its samples after 2026-12-07T22:20:00Z are written again."},
    {"report, UTC, mid-line", written::report, false, kDecember, 30, true, 0, 10, 0,
     "its samples after 2026-12-07T22:20:00Z are written again."},
    {"report, zone time, at a line end", written::report, true, kDecember, 25, false, 0, 15, 0,
     "its samples after 2026-12-07T21:55:00Z are written again."},
    {"report, zone time, mid-line", written::report, true, kDecember, 1, true, 0, 39, 0,
     "its samples after 2026-12-07T19:55:00Z are written again."},
    // 04:30 names 02:30Z and 03:30Z: the earlier is taken, 12 samples come twice.
    {"report, zone time, the hour the clock goes back", written::report, true, kClockBack, 36,
     false, 0, 16, 0, "its samples after 2026-10-25T02:30:00Z are written again."},
    {"history, at a line end", written::history, false, kDecember, 30, false, 0, 10, 0,
     "its samples after 2026-12-07T22:20:00Z are written again."},
    {"history, mid-line", written::history, false, kDecember, 39, true, 0, 1, 0,
     "its samples after 2026-12-07T23:05:00Z are written again."},
    {"history, its mark off the sample grid", written::history, false, kDecember, 30, false, 60, -1,
     0, "its samples are written again."},
    {"line protocol, at a line end in the second sensor", written::line_protocol, false, kDecember,
     70, false, 0, 0, 10,
     "each sensor's samples after its newest whole one there are written again."},
    {"line protocol, mid-line in the first sensor", written::line_protocol, false, kDecember, 20,
     true, 0, 20, -1,
     "each sensor's samples after its newest whole one there, or all of them, are written "
     "again."},
};

bool is_report_sample_line(const std::string& line) {
  return line.size() > 21 && line[2] == '/' && line[5] == '/' && line[19] == ',';
}

std::vector<std::string> report_sample_lines(const std::string& text) {
  std::vector<std::string> lines;
  for (const std::string& line : report_test::split_lines(text))
    if (is_report_sample_line(line)) lines.push_back(line);
  return lines;
}

}  // namespace

// A file found shorter than its committed length keeps what it holds whole:
// its torn last line goes, each output writing there is planned the samples
// after the newest whole one of its sensor, and writing them makes the file
// what it was (the report: each sample line once, after a new heading).
TEST(Collected, ShorterFileCatchesUpFromItsNewestWholeSample) {
  for (const cut_case& c : kCutCases) {
    SCOPED_TRACE(c.what);
    report_test::TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string folder = dir.path() + "/";
    report_test::sensor a, b;
    std::vector<int32_t> values(40), values_b(40);
    for (int i = 0; i < 40; ++i) {
      values[static_cast<size_t>(i)] = 200 + i;
      values_b[static_cast<size_t>(i)] = -20 + 3 * i;
    }
    SensorStatus st = report_test::example_status();
    st.port = 1;
    st.logInterval = 5;
    st.logCapacity = 40;
    st.lastLogTime = c.newest;
    st.deviceTime = c.newest + 100;
    st.timeZone = c.zone_time ? 15 : 0;
    report_test::load(a, st, values);
    st.port = 2;
    st.sensorType = 2;
    report_test::load(b, st, values_b);

    report_test::capture_sink sink;
    output_context ctx = report_test::in_folder(folder, c.zone_time);
    ctx.sink = &sink;
    const std::string address = a.address;
    std::string name, mark;
    // One run of the output, given these samples of each sensor.
    const auto run = [&](int n, int n_b) {
      if (c.by == written::report) {
        datafile writer(ctx);
        ASSERT_EQ(writer.write_data(name.c_str(), newest_samples(a.view(), n), 1), 0);
      } else if (c.by == written::history) {
        csv_history history(ctx);
        ASSERT_EQ(history.save(newest_samples(a.view(), n)), 0);
      } else {
        run_exports exports(address, kExportInflux, 0, ctx);
        exports.add(newest_samples(a.view(), n));
        exports.add(newest_samples(b.view(), n_b));
        ASSERT_EQ(exports.finish(), 0);
      }
    };
    if (c.by == written::report) {
      name = address + "_p2_temperature.txt";
      mark = kReportMark;
    } else if (c.by == written::history) {
      name = history_name(address, 2, 1, 1);
      mark = kHistoryMark;
    } else {
      name = line_protocol_name(address);
      mark = kInfluxMark;
    }
    const std::string path = folder + name;
    run(-1, -1);
    const std::string uncut = read_file(path);

    // Where the sample lines start, and the cut.
    std::vector<size_t> starts;
    for (size_t at = 0; at < uncut.size(); at = uncut.find('\n', at) + 1) {
      const std::string line = uncut.substr(at, uncut.find('\n', at) - at);
      if (c.by == written::report ? is_report_sample_line(line)
                                  : c.by == written::line_protocol || at > 0)
        starts.push_back(at);
    }
    ASSERT_EQ(starts.size(), c.by == written::line_protocol ? 80u : 40u);
    const size_t whole = starts[static_cast<size_t>(c.keep)];
    const size_t cut = whole + (c.mid_line ? 7 : 0);
    ASSERT_TRUE(file_truncate(path.c_str(), static_cast<long long>(cut)));

    const std::string t = std::to_string(c.newest), m = std::to_string(c.newest + c.mark_shift);
    const std::string other = mark == kReportMark ? "" : " " + mark + "=" + m;
    std::ofstream(folder + "logfetch.state", std::ios::binary)
        << address << " 2 1 1 4 5 40 " << (mark == kReportMark ? m : t) << other << "\n"
        << address << " 3 1 2 4 5 40 " << t << other << "\n"
        << "file " << name << " " << uncut.size() << "\n";
    collected state(folder + "logfetch.state");
    state.load(sink);
    state.use({mark});
    sink.text.clear();
    state.repair(sink);
    EXPECT_EQ(sink.text, path + " is " + std::to_string(uncut.size() - cut) +
                             " bytes shorter than its committed length: " + c.said + "\n");
    EXPECT_EQ(read_file(path), uncut.substr(0, whole));
    const int planned = state.plan(address, 0, a.status, sink);
    EXPECT_EQ(planned, c.planned);
    const int planned_b =
        c.by == written::line_protocol ? state.plan(address, 0, b.status, sink) : 0;
    EXPECT_EQ(planned_b, c.planned_b);
    // Saved before anything is written: the length after the cut and the
    // marks moved back, or, while an output takes everything, the old length.
    collected saved(folder + "logfetch.state");
    saved.load(sink);
    const bool all_read_back = c.planned >= 0 && c.planned_b >= 0;
    const auto length = static_cast<long long>(all_read_back ? whole : uncut.size());
    EXPECT_EQ(state.committed_length(name), length);
    EXPECT_EQ(saved.committed_length(name), length);
    if (c.planned >= 0) {
      EXPECT_EQ(saved.lacking(address, 0, a.status, mark), c.planned);
    }

    run(planned, planned_b);
    const std::string after = read_file(path);
    if (c.by == written::report) {
      // The lines kept, then those of the samples planned.
      const std::vector<std::string> all = report_sample_lines(uncut);
      std::vector<std::string> expected(all.begin(), all.begin() + c.keep);
      const size_t again = planned < 0 ? all.size() : static_cast<size_t>(planned);
      expected.insert(expected.end(), all.end() - static_cast<long>(again), all.end());
      EXPECT_EQ(report_sample_lines(after), expected);
      EXPECT_EQ(after.substr(0, whole), uncut.substr(0, whole));
    } else {
      EXPECT_EQ(after, uncut);
    }
  }
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
  report_test::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.path() + "/logfetch.state";
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
}

// One run at a time keeps a record: a second is refused, said, until the
// first lets go; the holder removes records half written by killed runs.
TEST(Collected, OneRunAtATimeKeepsTheRecord) {
  report_test::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string folder = dir.path() + "/";
  std::ofstream(folder + "logfetch.state.4242.tmp") << "half a record";
  std::ofstream(folder + "10.0.0.1.Z.om.4242.tmp") << "never committed";

  report_test::capture_sink first_sink, second_sink;
  {
    collected first(folder + "logfetch.state");
    collected second(folder + "logfetch.state");
    ASSERT_TRUE(first.hold(first_sink));
    EXPECT_FALSE(second.hold(second_sink));
    EXPECT_EQ(second_sink.text, folder +
                                    "logfetch.state is in use by another run of logfetch: "
                                    "nothing is saved in its folder this time !\n");
    first.load(first_sink);
    first.repair(first_sink);
    EXPECT_EQ(file_size((folder + "logfetch.state.4242.tmp").c_str()), -1);
    EXPECT_EQ(file_size((folder + "10.0.0.1.Z.om.4242.tmp").c_str()), -1);
  }
  collected later(folder + "logfetch.state");
  EXPECT_TRUE(later.hold(second_sink));
  EXPECT_EQ(file_size((folder + "logfetch.state.lock").c_str()), 0);
}
