// The chart page's choices that are easy to get wrong at their edges.
#include "report/chart_page.h"
#include "zonetime/zone_table.h"

#include <gtest/gtest.h>

#include "tests/support/test_sensor.h"

namespace {

// The step is the smallest that puts fewer than eight ticks across the span.
TEST(ChartPage, TickStepAtTheEdgesOfEachUnit) {
  constexpr int64_t kMin = 60, kHour = 3600, kDay = 86400;
  const struct {
    int64_t span;
    tick_step step;
  } cases[] = {
      {0, {10, 0}},
      {79, {10, 0}},
      {80, {30, 0}},
      {7 * kMin + 59, {60, 0}},
      {8 * kMin, {120, 0}},
      {8 * kHour - 1, {kHour, 0}},
      {8 * kHour, {7200, 0}},
      {kDay, {21600, 0}},
      {8 * kDay - 1, {kDay, 0}},
      {8 * kDay, {2 * kDay, 0}},
      {8 * 7 * kDay - 1, {7 * kDay, 0}},
      {16 * 7 * kDay, {0, 1}},
      {8 * 2629746 - 1, {0, 1}},
      {8 * 2629746, {0, 2}},
      {int64_t{1} << 32, {0, 240}},
  };
  for (const auto& c : cases) {
    const tick_step got = choose_tick_step(c.span);
    EXPECT_TRUE(got == c.step) << "span " << c.span << ": got " << got.seconds << " s, "
                               << got.months << " months";
  }
}

// Each sample holds until the next; the newest for the gap before it; an
// out-of-order row adds nothing.
TEST(ChartPage, AlarmTimeSum) {
  const struct {
    std::vector<int32_t> times;
    std::vector<int64_t> values;
    int64_t seconds;
  } cases[] = {
      {{}, {}, 0},
      {{100}, {1}, 0},
      {{0, 30, 60, 90}, {0, 0, 0, 1}, 30},
      {{0, 30, 60, 90}, {1, 0, 2, 0}, 60},
      {{0, 30, 60, 90}, {-1, -1, -1, -1}, 120},
      {{0, 30, 20, 90}, {1, 1, 0, 0}, 30},
  };
  for (const auto& c : cases)
    EXPECT_EQ(alarm_seconds(c.times, c.values), c.seconds) << c.times.size() << " samples";
}

// With -t a water sensor in a +01:00 zone: its times on that clock, drawn as
// states with its alarm time; a sensor read but whose history is behind is
// shown with what was read.
TEST(ChartPage, ZoneTimesStatesAndAHistoryBehind) {
  report_test::TempDir dir;
  ASSERT_TRUE(dir.ok());
  report_test::sensor water;
  water.status = report_test::example_status();
  water.status.sensorType = 4;
  water.status.timeZone = 15;
  water.status.logInterval = 1;
  water.address = "10.0.0.3";
  for (const uint32_t v : {0u, 0u, 1u, 1u, 0u}) {
    water.samples.resize(water.samples.size() + 4);
    coding::put_u32_le(&water.samples[water.samples.size() - 4], v);
  }
  csv_history history(report_test::in_folder(dir.path() + "/"));
  testing::internal::CaptureStdout();
  ASSERT_EQ(history.save(water.view()), 0);
  std::vector<sensor_label> labels = history.sensors();
  sensor_label behind = labels[0];
  behind.port = 2;
  behind.type = 1;
  behind.description = "Hot aisle";
  behind.history_behind = true;
  labels.push_back(behind);
  ASSERT_EQ(write_chart_page(report_test::in_folder(dir.path() + "/", true), "10.0.0.3", labels), 0);
  testing::internal::GetCapturedStdout();
  const std::string text = report_test::read_file(dir.file("10.0.0.3.html"));
  // example_status: the newest sample at 2026-12-07T23:10:00Z.
  EXPECT_NE(text.find("Newest <b>0 C</b> at 2026-12-08T00:10:00+01:00"), std::string::npos);
  EXPECT_NE(text.find("Times in the sensor's zone (" + std::string(zone_name(15)) + "), UTC+01:00."),
            std::string::npos);
  EXPECT_NE(text.find("<path class=\"state\" d=\"M"), std::string::npos);
  EXPECT_EQ(text.find("<path class=\"line\""), std::string::npos) << "no band for on/off";
  EXPECT_NE(text.find("In alarm (not 0): <b>2 min</b>"), std::string::npos);
  EXPECT_NE(text.find("Port 2, slot 1: temperature</h2>\n<p class=\"about\">Hot aisle"),
            std::string::npos);
  EXPECT_NE(text.find("its history could not be written"), std::string::npos);
  EXPECT_NE(text.find("Newest read <b>0 C</b> at 2026-12-08T00:10:00+01:00"), std::string::npos);
  EXPECT_NE(text.find("<p class=\"written\">Page written "), std::string::npos);
}

}  // namespace
