#include "report/datafile.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <random>

#include "tests/support/test_sensor.h"
#include "tests/support/texts.h"
#include "zonetime/zone_time.h"

namespace {

using report_test::example_status;
using report_test::FileSizeLimit;
using report_test::load;
using report_test::read_file;
using report_test::split_lines;
using report_test::TempDir;

const std::string kExample = test_texts::worked_example_report("192.168.0.10");

class DatafileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
  }
  // -t or not, as the run's context says.
  void local(bool on) {
    output_context ctx;
    ctx.local_time = on;
    writer_.use(ctx);
  }

  // Writes the report of `st` with `samples` to a fresh file and returns it.
  std::string report(const SensorStatus& st, const std::vector<int32_t>& samples,
                     bool keep_count = false) {
    load(sensor_, st, samples, keep_count);
    const std::string path = dir_.file("r" + std::to_string(++files_) + ".txt");
    testing::internal::CaptureStdout();
    const int rc = writer_.write_data(path.c_str(), sensor_.view(), 0);
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(console, "Saving data to " + path + " ...\n");
    return read_file(path);
  }
  std::vector<std::string> report_lines(const SensorStatus& st,
                                        const std::vector<int32_t>& samples) {
    return split_lines(report(st, samples));
  }

  TempDir dir_;
  report_test::sensor sensor_;
  datafile writer_;
  int files_ = 0;
};

TEST_F(DatafileTest, WorkedExampleByteForByteWhateverTheBoxZone) {
  for (uint8_t zone : {0, 35, 41, 200}) {
    SensorStatus st = example_status();
    st.timeZone = zone;
    EXPECT_EQ(report(st, {21, 22, 24}), kExample) << "zone " << int(zone);
  }
}

TEST_F(DatafileTest, AppendAddsAReportOverwriteLeavesOne) {
  load(sensor_, example_status(), {21, 22, 24});
  const std::string path = dir_.file("same.txt");
  testing::internal::CaptureStdout();
  EXPECT_EQ(writer_.write_data(path.c_str(), sensor_.view(), 1), 0);
  EXPECT_EQ(writer_.write_data(path.c_str(), sensor_.view(), 1), 0);
  const std::string twice = read_file(path);
  EXPECT_EQ(writer_.write_data(path.c_str(), sensor_.view(), 0), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(twice, std::string(kExample) + kExample);
  EXPECT_EQ(read_file(path), kExample);
}

TEST_F(DatafileTest, FailuresPrintTheirMessageAndTouchNoFile) {
  load(sensor_, example_status(), {21, 22, 24});
  testing::internal::CaptureStdout();
  EXPECT_EQ(writer_.write_data(nullptr, sensor_.view(), 1), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "No file name to write data to !\n");

  const std::string path = dir_.file("missing/r.txt");
  for (int append : {0, 1}) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(writer_.write_data(path.c_str(), sensor_.view(), append), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Can't open file:" + path + " to write data !\n");
  }
  EXPECT_FALSE(std::filesystem::exists(dir_.file("missing")));
}

// A full device: the small report fails when the file is closed, the long one
// already while it is written.
TEST_F(DatafileTest, WriteAndCloseErrorsAreReported) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  for (int count : {3, 32767}) {
    load(sensor_, example_status(), std::vector<int32_t>(count, 7));
    for (int append : {0, 1}) {
      testing::internal::CaptureStdout();
      EXPECT_EQ(writer_.write_data("/dev/full", sensor_.view(), append), -1) << count;
      EXPECT_EQ(testing::internal::GetCapturedStdout(),
                "Saving data to /dev/full ...\nError writing data to file:/dev/full !\n");
    }
  }
}

// A report that does not fit leaves the file as it was: an append is cut
// back, an overwrite never takes the old report's place, a new file goes
// away, no temporary file stays; the reason goes to standard error.
TEST_F(DatafileTest, ReportThatDoesNotFitLeavesTheFileAsItWas) {
  struct Case {
    int append;
    bool existed;
  };
  const Case cases[] = {{1, true}, {1, false}, {0, true}, {0, false}};
  // Longer than one write block, so the disk fills mid-report.
  load(sensor_, example_status(), std::vector<int32_t>(8000, 7));
  for (const Case& c : cases) {
    const std::string what =
        "append " + std::to_string(c.append) + " existed " + std::to_string(c.existed);
    TempDir dir;
    const std::string path = dir.file("r.txt");
    if (c.existed) std::ofstream(path, std::ios::binary) << kExample;
    std::string out, err;
    {
      testing::internal::CaptureStdout();
      testing::internal::CaptureStderr();
      FileSizeLimit full(kExample.size() + 4096);
      ASSERT_TRUE(full.ok());
      EXPECT_EQ(writer_.write_data(path.c_str(), sensor_.view(), c.append), -1) << what;
    }
    out = testing::internal::GetCapturedStdout();
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, "Saving data to " + path + " ...\nError writing data to file:" + path + " !\n")
        << what;
    EXPECT_EQ(err, "logfetch: " + path + ": " + std::strerror(EFBIG) + "\n") << what;
    report_test::expect_left_as_it_was(dir.path(), path, c.existed, kExample, what);
  }
}

TEST_F(DatafileTest, TextsStopAtTheirFirstZeroAndTheirWidth) {
  SensorStatus st = example_status();
  std::memset(st.description, 'D', sizeof st.description);
  std::memcpy(st.systemName, "Lab\0junk", 9);
  std::memset(st.unit, 'U', sizeof st.unit);
  st.timeZone = 9;  // right behind unit: must not leak into the unit
  const auto lines = report_lines(st, {21, 22, 24});
  ASSERT_GE(lines.size(), 11u);
  const std::string unit(16, 'U');
  EXPECT_EQ(lines[2], "System name : Lab");
  EXPECT_EQ(lines[4], "Sensor description : " + std::string(36, 'D'));
  EXPECT_EQ(lines[6], "Average high value : 25 " + unit);
  EXPECT_EQ(lines[10], "Average value : 22.3 " + unit);
}

TEST_F(DatafileTest, AddressAndPortAsGiven) {
  SensorStatus st = example_status();
  st.port = 7;
  load(sensor_, st, {1});
  sensor_.address = "0x7f.1";
  const std::string path = dir_.file("a.txt");
  testing::internal::CaptureStdout();
  ASSERT_EQ(writer_.write_data(path.c_str(), sensor_.view(), 0), 0);
  testing::internal::GetCapturedStdout();
  const auto lines = split_lines(read_file(path));
  EXPECT_EQ(lines[1], "Vellorix address: 0x7f.1");
  EXPECT_EQ(lines[3], "Sensor port : 8");
}

// Summary lines and sample lines share one form per type; tenths negatives
// are "-" and the magnitude.
TEST_F(DatafileTest, PlainAndTenthsForms) {
  struct Case {
    uint8_t type;
    int16_t value;
    const char* text;
  };
  const Case cases[] = {
      {2, 123, "12.3"},     {2, 5, "0.5"},        {2, 120, "12.0"},
      {2, 0, "0.0"},        {2, -123, "-12.3"},   {2, -5, "-0.5"},
      {2, -120, "-12.0"},   {2, 32767, "3276.7"}, {2, -32768, "-3276.8"},
      {5, -1, "-0.1"},      {5, 10, "1.0"},       {1, -5, "-5"},
      {1, 0, "0"},          {3, 55, "55"},        {1, -32768, "-32768"},
      {17, 32767, "32767"}, {200, -7, "-7"},
  };
  for (const Case& c : cases) {
    SensorStatus st = example_status();
    std::strcpy(st.unit, "mA");
    st.sensorType = c.type;
    st.avgHigh = st.avgLow = st.instHigh = st.instLow = c.value;
    const auto lines = report_lines(st, {c.value});
    ASSERT_EQ(lines.size(), 13u);
    const std::string tail = std::string(" : ") + c.text + " mA";
    EXPECT_EQ(lines[6], "Average high value" + tail) << int(c.type) << " " << c.value;
    EXPECT_EQ(lines[7], "Average low value" + tail);
    EXPECT_EQ(lines[8], "Instantaneous high value" + tail);
    EXPECT_EQ(lines[9], "Instantaneous low value" + tail);
    EXPECT_EQ(lines[11], std::string("12/07/2026 23:10:00, ") + c.text);
  }
}

TEST_F(DatafileTest, WideSamplesPrintWhole) {
  for (uint8_t type : {1, 5}) {
    SensorStatus st = example_status();
    st.sensorType = type;
    const auto lines = report_lines(st, {INT32_MIN, INT32_MAX, -1});
    ASSERT_EQ(lines.size(), 15u);
    const bool tenths = type == 5;
    EXPECT_EQ(lines[11],
              std::string("12/07/2026 22:50:00, ") + (tenths ? "-214748364.8" : "-2147483648"));
    EXPECT_EQ(lines[12],
              std::string("12/07/2026 23:00:00, ") + (tenths ? "214748364.7" : "2147483647"));
    EXPECT_EQ(lines[13], std::string("12/07/2026 23:10:00, ") + (tenths ? "-0.1" : "-1"));
    // Sum -2: -2/3 = -0.667, and -0.0667 in tenths.
    EXPECT_EQ(lines[10], std::string("Average value : ") + (tenths ? "-0.1" : "-0.7") + " C");
  }
}

TEST_F(DatafileTest, AverageRoundsTiesAwayFromZero) {
  struct Case {
    uint8_t type;
    std::vector<int32_t> samples;
    const char* text;
  };
  const std::vector<int32_t> minus_one_in_21 = [] {
    std::vector<int32_t> v(21, 0);
    v[0] = -1;
    return v;
  }();
  const Case cases[] = {
      {1, {22, 22, 22, 23}, "22.3"},
      {1, {22, 23, 23, 23}, "22.8"},
      {1, {1, 2}, "1.5"},
      {2, {100, 200}, "15.0"},
      {1, {-22, -22, -22, -23}, "-22.3"},
      {1, {-1, 0}, "-0.5"},
      {1, minus_one_in_21, "-0.0"},
      {1, {0}, "0.0"},
      {1, {1, 0, 0}, "0.3"},
      {1, {2, 0, 0}, "0.7"},
      {5, {1, 2}, "0.2"},
      {5, {-1, -2}, "-0.2"},
      {2, {1}, "0.1"},
      {2, {5, 0}, "0.3"},
      {1, {INT32_MAX, INT32_MAX}, "2147483647.0"},
      {1, {INT32_MIN, INT32_MIN, INT32_MIN}, "-2147483648.0"},
  };
  for (const Case& c : cases) {
    SensorStatus st = example_status();
    st.sensorType = c.type;
    const auto lines = report_lines(st, c.samples);
    ASSERT_GE(lines.size(), 11u);
    EXPECT_EQ(lines[10], std::string("Average value : ") + c.text + " C")
        << int(c.type) << " first sample " << c.samples[0];
  }
}

// Away from ties the average reads as printf("%0.1f") prints it.
TEST_F(DatafileTest, AverageAgreesWithPrintfOffTies) {
  std::mt19937 rng(20261207);
  std::uniform_int_distribution<int> count(1, 40);
  std::uniform_int_distribution<int32_t> value(-3000, 3000);
  int compared = 0;
  for (int round = 0; round < 300; ++round) {
    std::vector<int32_t> samples(static_cast<size_t>(count(rng)));
    int64_t sum = 0;
    for (auto& v : samples) sum += v = value(rng);
    const int64_t n = static_cast<int64_t>(samples.size());
    const bool tenths = round % 2 == 1;
    // A tie: ten times the printed value is an odd number of halves.
    const int64_t d = n;
    const int64_t num = tenths ? sum : 10 * sum;
    if ((2 * num) % (2 * d) == d || (2 * num) % (2 * d) == -d) continue;
    const double avg = static_cast<double>(sum) / static_cast<double>(n);
    char expect[64];
    std::snprintf(expect, sizeof expect, "Average value : %0.1f C", tenths ? avg * 0.1 : avg);
    SensorStatus st = example_status();
    st.sensorType = tenths ? 5 : 1;
    const auto lines = report_lines(st, samples);
    ASSERT_GE(lines.size(), 11u);
    EXPECT_EQ(lines[10], expect) << "sum " << sum << " n " << n;
    ++compared;
  }
  EXPECT_GT(compared, 200);
}

TEST_F(DatafileTest, NoSampleLinesWithoutAPositiveCount) {
  for (int16_t count : {0, -1, -32768}) {
    for (uint8_t type : {1, 2}) {
      SensorStatus st = example_status();
      st.sensorType = type;
      st.logCount = count;
      const auto lines = split_lines(report(st, {21, 22, 24}, /*keep_count=*/true));
      ASSERT_EQ(lines.size(), 12u) << count;
      EXPECT_EQ(lines[10], "Average value : 0.0 C");
      EXPECT_EQ(lines[11], "");
    }
  }
}

// Sample times count back from lastLogTime in wrapping 32-bit seconds.
TEST_F(DatafileTest, SampleTimes) {
  struct Case {
    int32_t last;
    uint8_t interval;
    std::vector<const char*> times;
  };
  const Case cases[] = {
      {1796685000, 0, {"12/07/2026 23:10:00", "12/07/2026 23:10:00", "12/07/2026 23:10:00"}},
      {1796685000, 255, {"12/07/2026 14:40:00", "12/07/2026 18:55:00", "12/07/2026 23:10:00"}},
      // Before 1970: the proleptic calendar, never a failure.
      {600, 10, {"12/31/1969 23:50:00", "01/01/1970 00:00:00", "01/01/1970 00:10:00"}},
      // The first time wraps below the 32-bit range to its top.
      {INT32_MIN + 30, 1, {"01/19/2038 03:12:38", "01/19/2038 03:13:38", "12/13/1901 20:46:22"}},
      {INT32_MAX, 1, {"01/19/2038 03:12:07", "01/19/2038 03:13:07", "01/19/2038 03:14:07"}},
  };
  for (const Case& c : cases) {
    SensorStatus st = example_status();
    st.lastLogTime = c.last;
    st.logInterval = c.interval;
    const auto lines = report_lines(st, {1, 2, 3});
    ASSERT_EQ(lines.size(), 15u);
    for (int i = 0; i < 3; ++i)
      EXPECT_EQ(lines[11 + i], std::string(c.times[i]) + ", " + std::to_string(i + 1))
          << "last " << c.last;
  }
}

TEST_F(DatafileTest, CurrentTimeBefore1970AndAtTheRangeEnds) {
  struct Case {
    int32_t t;
    const char* text;
  };
  const Case cases[] = {
      {-1, "31/12/1969 23:59:59"},
      {INT32_MIN, "13/12/1901 20:45:52"},
      {INT32_MAX, "19/01/2038 03:14:07"},
      {951782400, "29/02/2000 00:00:00"},
  };
  for (const Case& c : cases) {
    SensorStatus st = example_status();
    st.deviceTime = c.t;
    const auto lines = report_lines(st, {1});
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(lines[5],
              std::string("Current Vellorix time (UTC) Coordinated Universal Time : ") + c.text);
  }
}

// Long logs across day and year ends, 1970 and the 32-bit wrap: every sample
// time equals the C library's UTC split of the same instant.
TEST_F(DatafileTest, UtcSampleTimesMatchTheCLibrary) {
  if (sizeof(time_t) < 8) GTEST_SKIP() << "needs a 64-bit time_t";
  constexpr int kCount = 32767;
  constexpr uint8_t kInterval = 251;
  constexpr uint32_t kStep = kInterval * 60u;
  for (int64_t last : {int64_t{INT32_MIN} + 400000000, int64_t{200000000},
                       int64_t{INT32_MIN} + 100000000, int64_t{1796685000}}) {
    SensorStatus st = example_status();
    st.lastLogTime = static_cast<int32_t>(last);
    st.logInterval = kInterval;
    const auto lines = report_lines(st, std::vector<int32_t>(kCount, 5));
    ASSERT_EQ(lines.size(), static_cast<size_t>(12 + kCount));
    uint32_t t = static_cast<uint32_t>(last) - (kCount - 1) * kStep;
    for (int i = 0; i < kCount; ++i, t += kStep) {
      const time_t tt = static_cast<int32_t>(t);
      struct tm tm;
      ASSERT_NE(gmtime_r(&tt, &tm), nullptr);
      char expect[64];
      std::snprintf(expect, sizeof expect, "%02d/%02d/%04d %02d:%02d:%02d, 5", tm.tm_mon + 1,
                    tm.tm_mday, tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
      ASSERT_EQ(lines[11 + i], expect) << "sample " << i << " at " << static_cast<int32_t>(t);
    }
  }
}

// Zone 35 (UTC-5, daylight from the first Sunday in April 02:00 to the last
// Sunday in October 02:00 local): 2005-04-03 07:00:00 UTC is 1112511600.
TEST_F(DatafileTest, LocalTimeAcrossDaylightSavingTransitions) {
  local(true);
  struct Case {
    uint8_t zone;
    int32_t now;
    int32_t last;
    const char* zone_text;
    const char* now_text;
    std::vector<const char*> times;
  };
  const Case cases[] = {
      {35,
       1112511599,
       1112511660,
       "(GMT-05:00, DST observed) Eastern Time (US & Canada)",
       "03/04/2005 01:59:59",
       {"04/03/2005 01:58:00", "04/03/2005 01:59:00", "04/03/2005 03:00:00",
        "04/03/2005 03:01:00"}},
      // 2005-10-30 06:00:00 UTC ends daylight time: the hour 01:00 comes twice.
      {35,
       1130652000,
       1130652060,
       "(GMT-05:00, DST observed) Eastern Time (US & Canada)",
       "30/10/2005 01:00:00",
       {"10/30/2005 01:58:00", "10/30/2005 01:59:00", "10/30/2005 01:00:00",
        "10/30/2005 01:01:00"}},
      // Southern zone 38 (UTC+10): daylight ends 2005-03-26 16:00:00 UTC.
      {38,
       1105747200,
       1111852860,
       "(GMT+10:00, DST observed) Canberra, Melbourne, Sydney",
       "15/01/2005 11:00:00",
       {"03/27/2005 02:58:00", "03/27/2005 02:59:00", "03/27/2005 02:00:00",
        "03/27/2005 02:01:00"}},
  };
  for (const Case& c : cases) {
    SensorStatus st = example_status();
    st.timeZone = c.zone;
    st.deviceTime = c.now;
    st.lastLogTime = c.last;
    st.logInterval = 1;
    const auto lines = report_lines(st, {1, 2, 3, 4});
    ASSERT_EQ(lines.size(), 16u);
    EXPECT_EQ(lines[5], std::string("Current Vellorix time ") + c.zone_text + " : " + c.now_text);
    for (int i = 0; i < 4; ++i)
      EXPECT_EQ(lines[11 + i], std::string(c.times[i]) + ", " + std::to_string(i + 1))
          << "zone " << int(c.zone) << " sample " << i;
  }
}

// A zone byte past the table is UTC, for the name and the times alike.
TEST_F(DatafileTest, LocalTimeWithAZonePastTheTableIsUtc) {
  local(true);
  for (uint8_t zone : {42, 255}) {
    SensorStatus st = example_status();
    st.timeZone = zone;
    EXPECT_EQ(report(st, {21, 22, 24}), kExample) << int(zone);
  }
}

// The sample lines against the plain route: one zone_convert or split_time
// per line and printf, over random sensors (clock, last sample time, interval,
// zone, count, width, values, UTC or zone time). The zone engine's state
// carries from line to line, so the end state is compared as well.
TEST_F(DatafileTest, SampleLinesMatchThePlainRoute) {
  std::mt19937 rng(20261208);
  auto pick = [&](int64_t lo, int64_t hi) {
    return std::uniform_int_distribution<int64_t>(lo, hi)(rng);
  };
  int lines_compared = 0;
  for (int round = 0; round < 500; ++round) {
    SensorStatus st = example_status();
    st.sensorType = static_cast<uint8_t>(pick(0, 1) ? 2 : 1);
    st.timeZone = static_cast<uint8_t>(pick(0, 3) ? pick(0, 41) : pick(42, 255));
    st.logInterval = static_cast<uint8_t>(pick(0, 4) ? pick(0, 255) : pick(0, 1) * 255);
    const int count = static_cast<int>(pick(0, 9) ? pick(1, 3000) : pick(1, 32767));
    st.logCount = static_cast<int16_t>(count);
    const int64_t span = int64_t{count - 1} * st.logInterval * 60;
    switch (pick(0, 3)) {
      case 0:  // anywhere in the 32-bit range
        st.lastLogTime = static_cast<int32_t>(pick(INT32_MIN, INT32_MAX));
        break;
      case 1:  // the log ends a few days around a new year
        st.lastLogTime = static_cast<int32_t>(year_start_time(static_cast<int>(pick(1902, 2037))) +
                                              pick(-4 * 86400, 4 * 86400));
        break;
      case 2:  // the log runs over the top of the range
        st.lastLogTime = static_cast<int32_t>(INT32_MIN + pick(0, span));
        break;
      default:  // the log ends at the top of the range
        st.lastLogTime = static_cast<int32_t>(INT32_MAX - pick(0, 3 * 86400));
    }
    st.deviceTime = static_cast<int32_t>(pick(0, 1) ? st.lastLogTime + pick(0, 86400)
                                                    : pick(INT32_MIN, INT32_MAX));
    const int size = std::array<int, 3>{1, 2, 4}[pick(0, 2)];
    st.sampleSize = static_cast<int8_t>(size);
    std::vector<uint8_t> bytes(static_cast<size_t>(count) * size);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(pick(0, 255));
    reading r;
    r.address = "192.168.0.10";
    r.status = &st;
    r.samples = bytes.data();
    r.sample_size = size;
    r.count = count;
    const bool use_local_time = pick(0, 2) != 0;
    local(use_local_time);

    const int32_t bias_before = zone_bias;
    std::vector<std::string> expect;
    if (use_local_time) zone_convert(st.deviceTime, st.timeZone);  // line 6 comes first
    const uint32_t step = st.logInterval * 60u;
    uint32_t t = static_cast<uint32_t>(st.lastLogTime) - static_cast<uint32_t>(count - 1) * step;
    for (int i = 0; i < count; ++i, t += step) {
      struct tm tm;
      if (use_local_time) {
        tm = *zone_convert(static_cast<int32_t>(t), st.timeZone);
      } else {
        split_time(static_cast<int32_t>(t), &tm);
      }
      const int64_t v = r.get_value(i), mag = v < 0 ? -v : v;
      char line[80];
      const int len =
          std::snprintf(line, sizeof line, "%02d/%02d/%04d %02d:%02d:%02d, ", tm.tm_mon + 1,
                        tm.tm_mday, tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
      if (st.sensorType == 2) {
        std::snprintf(line + len, sizeof line - len, "%s%lld.%lld", v < 0 ? "-" : "",
                      static_cast<long long>(mag / 10), static_cast<long long>(mag % 10));
      } else {
        std::snprintf(line + len, sizeof line - len, "%lld", static_cast<long long>(v));
      }
      expect.emplace_back(line);
    }
    const int32_t bias_after = zone_bias, start_after = dst_start, end_after = dst_end;
    const struct tm tm_after = zone_tm;

    zone_bias = bias_before;
    const std::string path = dir_.file("random.txt");
    testing::internal::CaptureStdout();
    ASSERT_EQ(writer_.write_data(path.c_str(), r, 0), 0);
    testing::internal::GetCapturedStdout();
    const auto lines = split_lines(read_file(path));
    ASSERT_EQ(lines.size(), static_cast<size_t>(12 + count));
    for (int i = 0; i < count; ++i, ++lines_compared)
      ASSERT_EQ(lines[11 + i], expect[i])
          << "sample " << i << " of " << count << ", last " << st.lastLogTime << ", interval "
          << int(st.logInterval) << ", zone " << int(st.timeZone) << ", clock " << st.deviceTime
          << (use_local_time ? ", zone time" : ", UTC");
    EXPECT_EQ(zone_bias, bias_after);
    EXPECT_EQ(dst_start, start_after);
    EXPECT_EQ(dst_end, end_after);
    auto fields = [](const struct tm& x) {
      return std::vector<int>{x.tm_year, x.tm_mon, x.tm_mday, x.tm_hour,
                              x.tm_min,  x.tm_sec, x.tm_wday, x.tm_yday};
    };
    EXPECT_EQ(fields(zone_tm), fields(tm_after));
  }
  EXPECT_GT(lines_compared, 500000);
}

// The file name: components, fit tests and the cleared buffer.
TEST(MakeFilename, NamingTable) {
  struct Case {
    int flags;
    uint8_t port;
    uint8_t type;
    int32_t now;
    int size;
    int result;  // -1, or the length of `name`
    const char* name;
  };
  constexpr int32_t kNow = 1796685429;  // 2026-12-07 23:17:09 UTC
  const Case cases[] = {
      {2, 0, 1, kNow, 100, 31, "192.168.0.10_p1_temperature.txt"},
      {0, 0, 1, kNow, 100, 18, "p1_temperature.txt"},
      {3, 0, 1, kNow, 100, 47, "192.168.0.10_p1_temperature_07-12-26_231709.txt"},
      {1, 0, 1, kNow, 100, 34, "p1_temperature_07-12-26_231709.txt"},
      {6, 0, 1, kNow, 100, 31, "192.168.0.10_p1_temperature.txt"},  // other bits ignored
      {4, 0, 1, kNow, 100, 18, "p1_temperature.txt"},
      {-1, 0, 1, kNow, 100, 47, "192.168.0.10_p1_temperature_07-12-26_231709.txt"},
      {2, 7, 1, kNow, 100, 31, "192.168.0.10_p8_temperature.txt"},
      {2, 2, 2, kNow, 100, 26, "192.168.0.10_p3_4-20ma.txt"},
      {2, 0, 10, kNow, 100, 27, "192.168.0.10_p1_airflow.txt"},
      {2, 0, 0, kNow, 100, 20, "192.168.0.10_p1_.txt"},
      {2, 0, 7, kNow, 100, 20, "192.168.0.10_p1_.txt"},
      {2, 0, 17, kNow, 100, 20, "192.168.0.10_p1_.txt"},
      {2, 0, 18, kNow, 100, 20, "192.168.0.10_p1_.txt"},
      {2, 0, 255, kNow, 100, 20, "192.168.0.10_p1_.txt"},
      // Fit: size = length + 1 fits, size = length does not.
      {2, 0, 1, kNow, 32, 31, "192.168.0.10_p1_temperature.txt"},
      {2, 0, 1, kNow, 31, -1, "192.168.0.10_p1_temperature"},
      {0, 0, 1, kNow, 19, 18, "p1_temperature.txt"},
      {0, 0, 1, kNow, 18, -1, "p1_temperature"},
      {3, 0, 1, kNow, 48, 47, "192.168.0.10_p1_temperature_07-12-26_231709.txt"},
      {3, 0, 1, kNow, 47, -1, "192.168.0.10_p1_temperature_07-12-26_231709"},
      {3, 0, 1, kNow, 44, -1, "192.168.0.10_p1_temperature_07-12-26_231709"},
      {3, 0, 1, kNow, 43, -1, "192.168.0.10_p1_temperature"},
      {2, 0, 1, kNow, 28, -1, "192.168.0.10_p1_temperature"},
      {2, 0, 1, kNow, 27, -1, "192.168.0.10_"},
      {2, 0, 1, kNow, 5, -1, "192."},  // the prefix is cut to the buffer
      {2, 0, 1, kNow, 1, -1, ""},
      {0, 0, 1, kNow, 0, -1, ""},
      // Years outside 2000-2099 and times before 1970 still get a stamp.
      {1, 0, 1, 946684799, 100, 34, "p1_temperature_31-12--1_235959.txt"},
      {1, 0, 1, -1, 100, 35, "p1_temperature_31-12--31_235959.txt"},
      {1, 0, 1, INT32_MIN, 100, 35, "p1_temperature_13-12--99_204552.txt"},
      {1, 0, 1, INT32_MAX, 100, 34, "p1_temperature_19-01-38_031407.txt"},
  };
  report_test::sensor sensor;
  datafile writer;
  for (const Case& c : cases) {
    SensorStatus st = example_status();
    st.port = c.port;
    st.sensorType = c.type;
    st.deviceTime = c.now;
    st.timeZone = 35;  // UTC mode ignores it
    load(sensor, st, {});
    char buf[128];
    std::memset(buf, 'X', sizeof buf);
    const int result = writer.make_filename(buf, c.size, sensor.view(), c.flags);
    EXPECT_EQ(result, c.result) << c.name << " size " << c.size;
    const std::string got(buf, strnlen(buf, static_cast<size_t>(c.size)));
    EXPECT_EQ(got, c.name) << "size " << c.size;
    if (c.result >= 0) {
      EXPECT_EQ(static_cast<int>(std::strlen(c.name)), c.result);
    }
    // Cleared over its whole size, and not a byte further.
    for (int i = static_cast<int>(std::strlen(c.name)); i < c.size; ++i)
      ASSERT_EQ(buf[i], '\0') << c.name << " byte " << i;
    for (int i = c.size; i < 128; ++i) ASSERT_EQ(buf[i], 'X') << c.name << " byte " << i;
  }
}

TEST(MakeFilename, LongAddressFailsWithinTheBuffer) {
  report_test::sensor sensor;
  datafile writer;
  load(sensor, example_status(), {});
  sensor.address = std::string(120, 'a');
  char buf[128];
  std::memset(buf, 'X', sizeof buf);
  EXPECT_EQ(writer.make_filename(buf, 100, sensor.view(), 2), -1);
  EXPECT_EQ(std::string(buf), std::string(99, 'a'));
  for (int i = 100; i < 128; ++i) ASSERT_EQ(buf[i], 'X');
}

TEST(MakeFilename, LocalTimeStampUsesTheBoxZone) {
  struct Case {
    uint8_t zone;
    int32_t now;
    const char* name;
  };
  const Case cases[] = {
      {35, 1112511599, "p1_temperature_03-04-05_015959.txt"},
      {35, 1112511600, "p1_temperature_03-04-05_030000.txt"},
      {15, 1111888800, "p1_temperature_27-03-05_040000.txt"},
      {0, 1796685429, "p1_temperature_07-12-26_231709.txt"},
      {42, 1796685429, "p1_temperature_07-12-26_231709.txt"},
      {255, 1796685429, "p1_temperature_07-12-26_231709.txt"},
  };
  report_test::sensor sensor;
  output_context zone_time;
  zone_time.local_time = true;
  datafile writer(zone_time);
  for (const Case& c : cases) {
    SensorStatus st = example_status();
    st.timeZone = c.zone;
    st.deviceTime = c.now;
    load(sensor, st, {});
    char buf[100];
    EXPECT_EQ(writer.make_filename(buf, sizeof buf, sensor.view(), 1),
              static_cast<int>(std::strlen(c.name)));
    EXPECT_STREQ(buf, c.name) << "zone " << int(c.zone);
  }
}

}  // namespace
