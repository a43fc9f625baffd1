// The chart page of a box (-w): one self-contained HTML file, no script, one
// inline SVG chart per sensor, drawn from the sensors' CSV histories.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "report/csv_history.h"
#include "report/output_context.h"

// Pixel columns of a chart's plot: each keeps its minimum, maximum and mean.
constexpr int kChartColumns = 680;

// Writes ctx.folder + ADDRESS.html with a chart for every port and slot of
// the box that has a history there. `labels` are the sensors read this run; a
// history left from earlier runs is drawn with what its file name tells. With
// ctx.local_time (-t) the page's times are those of each history's zone
// column, offset named. Without any history of the box no page is written.
// Returns 0, or -1 with a one-line message on *ctx.sink (standard output
// when null).
int write_chart_page(const output_context& ctx, const std::string& address,
                     const std::vector<sensor_label>& labels);

// Box text for HTML: markup characters as entities, bytes from 0xA0 as the
// Latin-1 characters they are, control bytes as U+FFFD. The result is ASCII.
std::string html_escape(const std::string& text);

// The step between time ticks: fixed seconds, or whole calendar months.
struct tick_step {
  int32_t seconds = 0;
  int months = 0;
  bool operator==(const tick_step& o) const { return seconds == o.seconds && months == o.months; }
};
// The smallest natural step that puts at most a few ticks across `span`
// seconds: seconds and minutes, hours, days, weeks, then months and years.
tick_step choose_tick_step(int64_t span);

// Seconds an on/off sensor spent in its alarm state (any non-zero value):
// each sample holds until the next one, the newest for the gap before it.
int64_t alarm_seconds(const std::vector<int32_t>& times, const std::vector<int64_t>& values);

// Whether a sensor type only tells on or off (water, security, dry contact,
// relay, motion).
bool is_on_off_type(uint8_t type);
