// The chart page's choices that are easy to get wrong at their edges.
#include "report/chart_page.h"

#include <gtest/gtest.h>

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

}  // namespace
