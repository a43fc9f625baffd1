// CSV histories (-c) and the chart page (-w).
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "report/chart_page.h"
#include "report/csv_history.h"
#include "tests/support/test_sensor.h"
#include "zonetime/zone_time.h"

namespace {

using report_test::example_status;
using report_test::read_file;
using report_test::TempDir;

// A reading of `values` (four-byte samples), the newest taken at `last`.
struct Sensor {
  SensorStatus status = example_status();
  std::vector<uint8_t> bytes;
  std::string address = "192.168.0.10";

  reading view(const std::vector<int32_t>& values) {
    bytes.assign(values.size() * 4, 0);
    for (size_t i = 0; i < values.size(); ++i)
      coding::put_u32_le(&bytes[i * 4], static_cast<uint32_t>(values[i]));
    reading r;
    r.address = address.c_str();
    r.status = &status;
    r.slot = 0;
    r.samples = bytes.data();
    r.count = static_cast<int>(values.size());
    r.sample_size = 4;
    return r;
  }
};

class HistoryTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.ok()); }
  std::string folder() const { return dir_.path() + "/"; }
  std::string file() const { return dir_.file("192.168.0.10_p1_s1_temperature.csv"); }
  // Saves `values` with the newest at `last`; returns what was printed.
  std::string save(csv_history& h, const std::vector<int32_t>& values, int32_t last,
                   int* result = nullptr) {
    sensor_.status.lastLogTime = last;
    testing::internal::CaptureStdout();
    const int r = h.save(sensor_.view(values));
    if (result != nullptr) *result = r;
    return testing::internal::GetCapturedStdout();
  }

  TempDir dir_;
  Sensor sensor_;
};

constexpr char kHeader[] = "time_utc,time_local,value\r\n";

// The sensor of the report's worked example, in UTC and in zones with their
// offsets (winter and summer), and tenths of both signs.
TEST_F(HistoryTest, RowsOfTheWorkedExampleAndTheirZones) {
  struct Case {
    uint8_t zone, type;
    int32_t last;
    std::vector<int32_t> values;
    const char* rows;
  };
  const Case cases[] = {
      {0,
       1,
       1796685000,
       {21, 22, 24},
       "2026-12-07T22:50:00Z,2026-12-07T22:50:00+00:00,21\r\n"
       "2026-12-07T23:00:00Z,2026-12-07T23:00:00+00:00,22\r\n"
       "2026-12-07T23:10:00Z,2026-12-07T23:10:00+00:00,24\r\n"},
      // Berlin in winter: the local day is already the next one.
      {15,
       1,
       1796685000,
       {21, 22, 24},
       "2026-12-07T22:50:00Z,2026-12-07T23:50:00+01:00,21\r\n"
       "2026-12-07T23:00:00Z,2026-12-08T00:00:00+01:00,22\r\n"
       "2026-12-07T23:10:00Z,2026-12-08T00:10:00+01:00,24\r\n"},
      // New York in summer, tenths: 2026-07-01 12:00 UTC.
      {35,
       2,
       1782907200,
       {-5, 0, 123},
       "2026-07-01T11:40:00Z,2026-07-01T07:40:00-04:00,-0.5\r\n"
       "2026-07-01T11:50:00Z,2026-07-01T07:50:00-04:00,0.0\r\n"
       "2026-07-01T12:00:00Z,2026-07-01T08:00:00-04:00,12.3\r\n"},
      // Past the table: as zone 0.
      {200,
       1,
       1796685000,
       {-40, 7, 100000},
       "2026-12-07T22:50:00Z,2026-12-07T22:50:00+00:00,-40\r\n"
       "2026-12-07T23:00:00Z,2026-12-07T23:00:00+00:00,7\r\n"
       "2026-12-07T23:10:00Z,2026-12-07T23:10:00+00:00,100000\r\n"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    csv_history h(report_test::in_folder(dir.path() + "/"));
    sensor_.status.timeZone = c.zone;
    sensor_.status.sensorType = c.type;
    sensor_.status.lastLogTime = c.last;
    testing::internal::CaptureStdout();
    EXPECT_EQ(h.save(sensor_.view(c.values)), 0);
    testing::internal::GetCapturedStdout();
    const std::string name = history_name("192.168.0.10", 1, 1, c.type);
    EXPECT_EQ(read_file(dir.file(name)), std::string(kHeader) + c.rows) << "zone " << int{c.zone};
  }
}

// The zone column keeps the engine's answer for a day at a time: every row
// must still be what the engine says for its own instant, across daylight
// saving changes and years, in every zone.
TEST_F(HistoryTest, ZoneColumnAgreesWithTheEngineForEveryRow) {
  constexpr int kCount = 32767;  // one an hour: almost four years
  std::vector<int32_t> values(kCount, 1);
  sensor_.status.logInterval = 60;
  sensor_.status.lastLogTime = 1893456000 + 1800;  // 2030-01-01 00:30 UTC
  const int32_t first = sensor_.status.lastLogTime - (kCount - 1) * 3600;
  for (int zone = 0; zone < 44; ++zone) {
    TempDir dir;
    csv_history h(report_test::in_folder(dir.path() + "/"));
    sensor_.status.timeZone = static_cast<uint8_t>(zone == 43 ? 255 : zone);
    testing::internal::CaptureStdout();
    ASSERT_EQ(h.save(sensor_.view(values)), 0);
    testing::internal::GetCapturedStdout();
    const std::string text = read_file(dir.file("192.168.0.10_p1_s1_temperature.csv"));
    size_t at = sizeof kHeader - 1;
    int mismatches = 0;
    for (int i = 0; i < kCount; ++i) {
      const int32_t t = first + i * 3600;
      const struct tm tm = *zone_convert(t, sensor_.status.timeZone);
      const int offset = -zone_bias;  // minutes
      char want[64];
      std::snprintf(want, sizeof want, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d",
                    tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                    offset < 0 ? '-' : '+', std::abs(offset) / 60, std::abs(offset) % 60);
      if (text.compare(at + 21, 25, want) != 0 && ++mismatches <= 3)
        ADD_FAILURE() << "zone " << zone << " row " << i << ": " << text.substr(at, 50)
                      << " want local " << want;
      at = text.find('\n', at) + 1;
    }
    EXPECT_EQ(mismatches, 0);
  }
}

// An empty log (the header alone), a full run, incremental run (only the
// newest samples, one of them already kept), the same full run again, then a
// longer one: every sample once, in order. Samples are one interval (600 s)
// apart; values tell them apart.
TEST_F(HistoryTest, EverySampleOnceWhateverTheMixOfRuns) {
  const int32_t t0 = 1796685000;
  csv_history h(report_test::in_folder(folder()));
  save(h, {}, t0 - 1200);
  EXPECT_EQ(read_file(file()), kHeader);
  save(h, {1, 2, 3}, t0);
  save(h, {3, 4, 5}, t0 + 1200);
  save(h, {1, 2, 3}, t0);
  save(h, {1, 2, 3, 4, 5, 6}, t0 + 1800);
  save(h, {}, t0 + 1800);  // an incremental run with nothing new
  const std::string text = read_file(file());
  std::vector<std::string> values;
  int64_t prev = INT64_MIN;
  for (size_t at = sizeof kHeader - 1; at < text.size(); at = text.find('\n', at) + 1) {
    int64_t t, v;
    const size_t end = text.find("\r\n", at);
    ASSERT_TRUE(parse_history_row(text.data() + at, text.data() + end, false, &t, &v))
        << text.substr(at, end - at);
    EXPECT_GT(t, prev);
    prev = t;
    values.push_back(std::to_string(v));
  }
  EXPECT_EQ(values, (std::vector<std::string>{"1", "2", "3", "4", "5", "6"}));
  EXPECT_EQ(text.compare(0, sizeof kHeader - 1, kHeader), 0);
  EXPECT_EQ(text.find(kHeader, 1), std::string::npos) << "one header only";
}

// A file that is not a history, or whose last rows cannot be read, keeps its
// bytes; the sensor gets no rows and the failure is said, never success.
TEST_F(HistoryTest, DamagedOrForeignFileIsLeftUntouched) {
  struct Case {
    const char* what;
    std::string bytes;
    const char* message;
  };
  const Case cases[] = {
      {"someone's spreadsheet", "date;temp\r\n1;2\r\n", "is not a CSV history"},
      {"header without CRLF", "time_utc,time_local,value\n", "is not a CSV history"},
      {"too short for a header", "x", "is not a CSV history"},
      {"last row longer than any", kHeader + std::string(300, '7') + "\r\n", "last row"},
      {"the row before the last unreadable too", kHeader + std::string("x\r\n2026-12"), "last row"},
  };
  for (const Case& c : cases) {
    {
      std::ofstream out(file(), std::ios::binary | std::ios::trunc);
      out << c.bytes;
    }
    csv_history h(report_test::in_folder(folder()));
    int result = 0;
    const std::string said = save(h, {1, 2}, 1796685000 + 6000, &result);
    EXPECT_EQ(result, -1) << c.what;
    EXPECT_NE(said.find(c.message), std::string::npos) << c.what << ": " << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << c.what << ": " << said;
    EXPECT_EQ(read_file(file()), c.bytes) << c.what;
  }
}

// A last row that a full disk or a crash cut short is cut off, and said; the
// samples after the last whole row then follow it, and the next run adds to
// the file as usual.
TEST_F(HistoryTest, TornLastRowIsCutBackToTheLastWholeRow) {
  const std::string good_row = "2026-12-07T22:50:00Z,2026-12-07T22:50:00+00:00,21\r\n";
  const std::string header_only = kHeader;
  struct Case {
    const char* what;
    std::string bytes;
    std::string kept;
  };
  const Case cases[] = {
      {"row cut mid-way", kHeader + good_row + "2026-12-07T23:00:00Z,2026-12", kHeader + good_row},
      {"only row without CRLF", kHeader + good_row.substr(0, good_row.size() - 2), header_only},
      {"last row garbled", kHeader + good_row + "2026-13-07T23:00:00Z,x,1\r\n", kHeader + good_row},
      {"only row's value not a number",
       kHeader + std::string("2026-12-07T22:50:00Z,2026-12-07T22:50:00+00:00,2x\r\n"), header_only},
  };
  const std::string at_2300 = "2026-12-07T23:00:00Z,2026-12-07T23:00:00+00:00,6\r\n";
  const std::string at_2310 = "2026-12-07T23:10:00Z,2026-12-07T23:10:00+00:00,7\r\n";
  for (const Case& c : cases) {
    {
      std::ofstream out(file(), std::ios::binary | std::ios::trunc);
      out << c.bytes;
    }
    csv_history h(report_test::in_folder(folder()));
    int result = -1;
    // 22:50, 23:00 and 23:10: the first only where the kept rows lack it.
    const std::string said = save(h, {5, 6, 7}, 1796685000, &result);
    EXPECT_EQ(result, 0) << c.what;
    EXPECT_EQ(said, "Cut the torn last row of " + file() + " back to its last whole row (" +
                        std::to_string(c.bytes.size() - c.kept.size()) +
                        " bytes dropped).\nSaving history to " + file() + " ...\n")
        << c.what;
    const std::string first = c.kept == header_only
                                  ? "2026-12-07T22:50:00Z,2026-12-07T22:50:00+00:00,5\r\n"
                                  : std::string();
    EXPECT_EQ(read_file(file()), c.kept + first + at_2300 + at_2310) << c.what;
    EXPECT_EQ(save(h, {8}, 1796685000 + 600, &result), "Saving history to " + file() + " ...\n");
    EXPECT_EQ(result, 0) << c.what;
  }
}

// Rows that do not all fit are taken back: the history keeps its old rows
// and no half row, a new one goes away; the reason goes to standard error.
TEST_F(HistoryTest, RowsThatDoNotFitAreTakenBack) {
  const std::string old_rows =
      kHeader + std::string("2026-12-07T22:50:00Z,2026-12-07T22:50:00+00:00,21\r\n");
  for (bool existed : {true, false}) {
    std::filesystem::remove(file());
    if (existed) std::ofstream(file(), std::ios::binary) << old_rows;
    csv_history h(report_test::in_folder(folder()));
    int result = 0;
    std::string said;
    testing::internal::CaptureStderr();
    {
      report_test::FileSizeLimit full(4096);
      ASSERT_TRUE(full.ok());
      // Far more rows than the limit holds, written in several blocks.
      said = save(h, std::vector<int32_t>(5000, 3), 1796685000 + 5000 * 600, &result);
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, -1) << existed;
    EXPECT_EQ(said, "Saving history to " + file() + " ...\nError writing data to file:" + file() +
                        " !\n");
    EXPECT_EQ(err, "logfetch: " + file() + ": " + std::strerror(EFBIG) + "\n");
    if (existed) {
      EXPECT_EQ(read_file(file()), old_rows);
    } else {
      EXPECT_FALSE(std::filesystem::exists(file()));
    }
  }
}

// Page tests share this: histories written through csv_history, then the page.
class PageTest : public HistoryTest {
 protected:
  std::string page(const csv_history& h, const std::string& address = "192.168.0.10") {
    testing::internal::CaptureStdout();
    EXPECT_EQ(write_chart_page(report_test::in_folder(folder()), address, h.sensors()), 0);
    testing::internal::GetCapturedStdout();
    return read_file(dir_.file(address + ".html"));
  }
};

TEST_F(PageTest, BoxTextsAreEscaped) {
  std::strcpy(sensor_.status.description, "<script>alert(1)</script>");
  std::strcpy(sensor_.status.systemName, "A&B \"room\" 'x'");
  std::strcpy(sensor_.status.unit,
              "\xB0"
              "C<b>\x01");
  csv_history h(report_test::in_folder(folder()));
  save(h, {21, 22}, 1796685000);
  const std::string text = page(h);
  EXPECT_EQ(text.find("<script"), std::string::npos);
  EXPECT_EQ(text.find("<b>C"), std::string::npos);
  EXPECT_NE(text.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
  EXPECT_NE(text.find("A&amp;B &quot;room&quot; &#39;x&#39;"), std::string::npos);
  EXPECT_NE(text.find("&#176;C&lt;b&gt;&#xFFFD;"), std::string::npos);
  for (const char c : text) ASSERT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7F)) << "byte " << int{c};
}

// A page that does not fit leaves the page before it, and no other file.
TEST_F(PageTest, PageThatDoesNotFitLeavesThePageBefore) {
  csv_history h(report_test::in_folder(folder()));
  save(h, {21, 22}, 1796685000);
  const std::string path = dir_.file("192.168.0.10.html");
  std::ofstream(path, std::ios::binary) << "before";
  const auto files = std::distance(std::filesystem::directory_iterator(dir_.path()),
                                   std::filesystem::directory_iterator());
  // The console is kept in memory: the limit would cut a captured stream too.
  report_test::capture_sink console;
  output_context ctx = report_test::in_folder(folder());
  ctx.sink = &console;
  {
    report_test::FileSizeLimit full(100);
    ASSERT_TRUE(full.ok());
    EXPECT_EQ(write_chart_page(ctx, "192.168.0.10", h.sensors()), -1);
  }
  EXPECT_EQ(console.text, "Saving charts to " + path + " ...\nError writing data to file:" + path +
                              " !\nlogfetch: " + path + ": " + std::strerror(EFBIG) + "\n");
  EXPECT_EQ(read_file(path), "before");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()),
                          std::filesystem::directory_iterator()),
            files);
}

// A history left by an earlier run is drawn too, its type (and so its
// tenths) taken from its name; a file of a history's name that is not one is
// named, not drawn; another box's history is not this box's; a box without
// any history gets no page.
TEST_F(PageTest, EveryHistoryOfTheBoxInTheFolder) {
  csv_history earlier(report_test::in_folder(folder()));
  sensor_.status.port = 1;
  sensor_.status.sensorType = 2;
  save(earlier, {123, -5}, 1796685000);
  sensor_.status.port = 0;
  sensor_.status.sensorType = 1;
  csv_history now(report_test::in_folder(folder()));
  save(now, {21}, 1796685000);
  {
    std::ofstream(dir_.file("192.168.0.10_p3_s2_humidity.csv"), std::ios::binary) << "a,b\r\n";
    std::ofstream(dir_.file("10.0.0.1_p4_s1_humidity.csv"), std::ios::binary) << kHeader;
  }
  const std::string text = page(now);
  std::vector<std::string> found;
  for (size_t at = 0; (at = text.find("<h2>Port ", at)) != std::string::npos; ++at)
    found.push_back(text.substr(at + 9, text.find("</h2>", at) - at - 9));
  EXPECT_EQ(found, (std::vector<std::string>{"1, slot 1: temperature", "2, slot 1: 4-20ma",
                                             "3, slot 2: humidity"}));
  EXPECT_NE(text.find("Newest <b>-0.5</b>"), std::string::npos) << "tenths from the name's type";
  EXPECT_NE(text.find("Not read this run"), std::string::npos);
  EXPECT_NE(text.find("not a CSV history"), std::string::npos);
  size_t charts = 0;
  for (size_t at = 0; (at = text.find("<svg class=\"chart\"", at)) != std::string::npos; ++at)
    ++charts;
  EXPECT_EQ(charts, 2u);

  testing::internal::CaptureStdout();
  EXPECT_EQ(write_chart_page(report_test::in_folder(folder()), "10.0.0.2", {}), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "No CSV history of 10.0.0.2 to draw a page from.\n");
  EXPECT_FALSE(std::ifstream(dir_.file("10.0.0.2.html")).good()) << "no page without a history";
}

// 32,767 samples, one spike up and one down among them: the page stays small,
// every column has at most its two extremes, and the extremes are drawn at
// the top and bottom of the plot and named in the text.
TEST_F(PageTest, ExtremesSurviveTheReduction) {
  constexpr int kCount = 32767;
  std::vector<int32_t> values(kCount);
  for (int i = 0; i < kCount; ++i) values[i] = 200 + (i * 7919) % 97;
  values[12345] = 9999;
  values[23456] = -555;
  sensor_.status.logInterval = 1;
  csv_history h(report_test::in_folder(folder()));
  save(h, values, 1796685000);
  const std::string text = page(h);
  EXPECT_LT(text.size(), 40u * 1024);
  EXPECT_NE(text.find("maximum <b>9999 C</b>"), std::string::npos);
  EXPECT_NE(text.find("minimum <b>-555 C</b>"), std::string::npos);

  const std::string start = "<path class=\"line\" d=\"";
  const size_t from = text.find(start);
  ASSERT_NE(from, std::string::npos);
  const std::string d =
      text.substr(from + start.size(), text.find('"', from + start.size()) - from - start.size());
  std::map<int, int> per_column;
  int top = 1 << 30, bottom = -1;
  std::istringstream points(d);
  char command;
  int x, y;
  while (points >> command >> x >> y) {
    ASSERT_TRUE(command == 'M' || command == 'L') << command;
    ++per_column[x];
    top = std::min(top, y);
    bottom = std::max(bottom, y);
  }
  EXPECT_TRUE(points.eof()) << "the whole path is points";
  EXPECT_EQ(per_column.size(), static_cast<size_t>(kChartColumns));
  for (const auto& [x, n] : per_column) EXPECT_LE(n, 2) << "column " << x;
  EXPECT_EQ(top, 12) << "the spike reaches the top of the plot";
  EXPECT_EQ(bottom, 12 + 196) << "the dip reaches the bottom";
}

}  // namespace
