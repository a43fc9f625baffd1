#include "report/exports.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "report/datafile.h"
#include "tests/support/test_sensor.h"

namespace {

using Escaper = void (*)(std::string*, const char*, size_t);

struct EscapeCase {
  const char* what;
  Escaper escape;
  std::string in, want;
};

TEST(ExportEscaping, EachFormatEscapesItsOwnCharacters) {
  const EscapeCase cases[] = {
      {"label: plain", append_label_value, "Server room 3", "Server room 3"},
      {"label: backslash, quote, line end", append_label_value, "a\\b\"c\nd", "a\\\\b\\\"c\\nd"},
      {"label: trailing backslash", append_label_value, "x\\", "x\\\\"},
      {"label: tag characters stay", append_label_value, "a,b=c d", "a,b=c d"},
      {"label: bytes beyond ASCII stay", append_label_value,
       "\xc2\xb0"
       "C",
       "\xc2\xb0"
       "C"},
      {"tag: comma, space, equals", append_tag_value, "a,b c=d", "a\\,b\\ c\\=d"},
      {"tag: quotes stay", append_tag_value, "\"q\"", "\"q\""},
      {"tag: line ends become spaces", append_tag_value, "a\nb\rc", "a\\ b\\ c"},
      {"measurement: comma and space", append_measurement, "m,1 x", "m\\,1\\ x"},
      {"measurement: equals stays", append_measurement, "a=b", "a=b"},
  };
  for (const EscapeCase& c : cases) {
    std::string out = "<";
    c.escape(&out, c.in.data(), c.in.size());
    EXPECT_EQ(out, "<" + c.want) << c.what;
  }
}

TEST(ExportNumbers, ValuesAndTimesAtTheirEdges) {
  struct Value {
    int32_t v;
    bool tenths;
    const char* want;
  };
  const Value values[] = {
      {0, false, "0"},
      {-1, false, "-1"},
      {0, true, "0.0"},
      {5, true, "0.5"},
      {-5, true, "-0.5"},
      {-10, true, "-1.0"},
      {INT32_MAX, false, "2147483647"},
      {INT32_MIN, false, "-2147483648"},
      {INT32_MIN, true, "-214748364.8"},
  };
  for (const Value& c : values) {
    char buf[32];
    EXPECT_EQ(std::string(buf, put_export_value(buf, c.v, c.tenths)), c.want) << c.v;
  }
  struct Nanos {
    int64_t s;
    const char* want;
  };
  const Nanos nanos[] = {{0, "0"},
                         {1, "1000000000"},
                         {-1, "-1000000000"},
                         {INT32_MAX, "2147483647000000000"},
                         {INT32_MIN, "-2147483648000000000"}};
  for (const Nanos& c : nanos) {
    char buf[32];
    EXPECT_EQ(std::string(buf, put_nanoseconds(buf, c.s)), c.want) << c.s;
  }
}

TEST(ExportFormats, WordsAndListsAddUpUnknownWordsAreRefused) {
  struct Case {
    const char* text;
    bool ok;
    unsigned want;
  };
  const Case cases[] = {
      {"openmetrics", true, kExportOpenMetrics},
      {"influx", true, kExportInflux},
      {"openmetrics,influx", true, kExportOpenMetrics | kExportInflux},
      {"influx,influx", true, kExportInflux},
      {"", false, 0},
      {"openmetrics,", false, 0},
      {"Influx", false, 0},
      {"influxdb", false, 0},
  };
  for (const Case& c : cases) {
    unsigned formats = 0;
    EXPECT_EQ(parse_export_formats(c.text, &formats), c.ok) << c.text;
    EXPECT_EQ(formats, c.want) << c.text;
  }
  unsigned twice = 0;  // -x given twice
  ASSERT_TRUE(parse_export_formats("influx", &twice));
  ASSERT_TRUE(parse_export_formats("openmetrics", &twice));
  EXPECT_EQ(twice, kExportOpenMetrics | kExportInflux);
  EXPECT_EQ(openmetrics_name("10.0.0.5", 1796685429), "10.0.0.5.20261207T231709Z.om");
}

// Exports that do not fit leave their files as they were: an append to the
// line protocol is cut back (a half line would spoil the next run's first),
// a new file goes away, no temporary file stays; each failure said once.
TEST(ExportFailures, WhatDoesNotFitLeavesTheFileAsItWas) {
  struct Case {
    unsigned format;
    bool existed;
  };
  const Case cases[] = {{kExportInflux, true}, {kExportInflux, false}, {kExportOpenMetrics, false}};
  report_test::sensor s;
  report_test::load(s, report_test::example_status(), std::vector<int32_t>(8000, 7));
  const std::string kept = "earlier value=1 1\n";
  for (const Case& c : cases) {
    const std::string what = std::to_string(c.format) + (c.existed ? " existed" : " new");
    report_test::TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string folder = dir.path() + "/";
    output_context ctx;
    ctx.folder = folder;
    run_exports exports(s.address, c.format, 1796685429, ctx);
    const std::string path = c.format == kExportInflux
                                 ? folder + line_protocol_name(s.address)
                                 : folder + openmetrics_name(s.address, 1796685429);
    if (c.existed) std::ofstream(path, std::ios::binary) << kept;
    exports.add(s.view());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    {
      report_test::FileSizeLimit full(4096);
      ASSERT_TRUE(full.ok());
      EXPECT_EQ(exports.finish(), 1) << what;
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error writing data to file:" + path + " !\n")
        << what;
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "logfetch: " + path + ": " + std::strerror(EFBIG) + "\n")
        << what;
    report_test::expect_left_as_it_was(dir.path(), path, c.existed, kept, what);
  }
}

// Every exported sample is a report line's: the same time and value, in
// both formats, for a plain and a tenths sensor, labelled with its box.
TEST(ExportSamples, EachIsAReportLineWithItsTimeAndValue) {
  for (const uint8_t type : {uint8_t{1}, uint8_t{2}}) {
    report_test::TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string folder = dir.path() + "/";
    report_test::sensor s;
    SensorStatus st = report_test::example_status();
    st.sensorType = type;
    report_test::load(s, st, {215, -3, 7, 1200});
    report_test::capture_sink sink;
    output_context ctx;
    ctx.folder = folder;
    ctx.sink = &sink;
    ctx.box = "rack 1";
    datafile writer(ctx);
    ASSERT_EQ(writer.write_data("report.txt", s.view(), 0), 0);
    run_exports exports(s.address, kExportOpenMetrics | kExportInflux, 1796685429, ctx);
    exports.add(s.view());
    ASSERT_EQ(exports.finish(), 0) << sink.text;

    // "MM/DD/YYYY HH:MM:SS, V" back to seconds and the value's text.
    std::vector<std::pair<int64_t, std::string>> want;
    for (const std::string& line : report_test::split_lines(report_test::read_file(folder + "report.txt"))) {
      int mo, d, y, h, mi, sec;
      char value[32];
      if (std::sscanf(line.c_str(), "%2d/%2d/%4d %2d:%2d:%2d, %31s", &mo, &d, &y, &h, &mi, &sec,
                      value) != 7)
        continue;
      std::tm tm{};
      tm.tm_year = y - 1900;
      tm.tm_mon = mo - 1;
      tm.tm_mday = d;
      tm.tm_hour = h;
      tm.tm_min = mi;
      tm.tm_sec = sec;
      want.emplace_back(static_cast<int64_t>(timegm(&tm)), value);
    }
    ASSERT_EQ(want.size(), 4u);

    std::vector<std::pair<int64_t, std::string>> om, lp;
    const std::string om_name = folder + openmetrics_name(s.address, 1796685429);
    for (const std::string& line : report_test::split_lines(report_test::read_file(om_name))) {
      if (line.empty() || line[0] == '#') continue;
      EXPECT_NE(line.find("{box=\"rack 1\",address=\"192.168.0.10\","), std::string::npos) << line;
      const size_t t = line.rfind(' '), v = line.rfind(' ', t - 1);
      om.emplace_back(std::stoll(line.substr(t + 1)), line.substr(v + 1, t - v - 1));
    }
    const std::string lp_name = folder + line_protocol_name(s.address);
    for (const std::string& line : report_test::split_lines(report_test::read_file(lp_name))) {
      EXPECT_NE(line.find(",box=rack\\ 1,address=192.168.0.10,"), std::string::npos) << line;
      const size_t t = line.rfind(' '), v = line.find(" value=");
      lp.emplace_back(std::stoll(line.substr(t + 1, line.size() - t - 10)),
                      line.substr(v + 7, t - v - 7));
    }
    EXPECT_EQ(om, want) << "type " << int(type);
    EXPECT_EQ(lp, want) << "type " << int(type);
  }
}

// A run that saved nothing writes no export file.
TEST(ExportSamples, NothingSavedNoFile) {
  report_test::TempDir dir;
  ASSERT_TRUE(dir.ok());
  output_context ctx;
  ctx.folder = dir.path() + "/";
  run_exports exports("192.168.0.10", kExportOpenMetrics | kExportInflux, 1796685429, ctx);
  EXPECT_EQ(exports.finish(), 0);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

}  // namespace
