// The chart page of a box (-w): one self-contained HTML file, no script, one
// inline SVG chart per sensor, drawn from the sensors' CSV histories.
#pragma once

#include <string>
#include <vector>

#include "report/csv_history.h"

// Pixel columns of a chart's plot: each keeps at most its minimum and maximum.
constexpr int kChartColumns = 680;

// Writes `folder` + ADDRESS.html with a chart for every port and slot of the
// box that has a history in `folder` ("" for the current one, else ending in
// '/'). `labels` are the sensors read this run; a history left from earlier
// runs is drawn with what its file name tells. Without any history of the
// box no page is written. Returns 0, or -1 with a one-line message.
int write_chart_page(const std::string& folder, const std::string& address,
                     const std::vector<sensor_label>& labels);

// Box text for HTML: markup characters as entities, bytes from 0xA0 as the
// Latin-1 characters they are, control bytes as U+FFFD. The result is ASCII.
std::string html_escape(const std::string& text);
