#include "report/chart_page.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

#include "device/messages.h"
#include "report/file_names.h"
#include "report/sink.h"
#include "report/text_file.h"
#include "zonetime/civil.h"
#include "zonetime/zone_table.h"
#include "zonetime/zone_time.h"

namespace {

using civil::days_from_civil;
using civil::floor_div;

constexpr int kPorts = 8, kSlots = 2;
// Chart geometry in pixels: the plot is kChartColumns wide.
constexpr int kWidth = 760, kHeight = 250;
constexpr int kLeft = 70, kTop = 12, kPlotHeight = 196;
// On/off sensors get a lower chart: two levels and the time axis.
constexpr int kStateHeight = 72, kStateTall = 124;
// At most this many time ticks across a plot, so their labels never touch.
constexpr int kMaxTicks = 8;
constexpr int32_t kDay = 86400;

struct History {
  sensor_label label;
  bool read_this_run = false;
  bool foreign = false;  // there, but not a history
  bool missing = false;  // read this run, but no file written yet
  int bad_rows = 0;
  std::vector<int32_t> times;
  std::vector<int64_t> values;
  // Where the zone column's offset (seconds east of UTC) changes, oldest
  // first; read with -t only.
  std::vector<std::pair<int32_t, int32_t>> offsets;

  int32_t offset_at(int64_t t) const {
    int32_t off = offsets.empty() ? 0 : offsets.front().second;
    for (const auto& [from, o] : offsets) {
      if (from > t) break;
      off = o;
    }
    return off;
  }
};

bool file_exists(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  std::fclose(f);
  return true;
}

bool read_all(const std::string& path, std::string* out) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  bool ok = std::fseek(f, 0, SEEK_END) == 0;
  const long size = ok ? std::ftell(f) : -1;
  ok = size >= 0 && std::fseek(f, 0, SEEK_SET) == 0;
  if (ok) {
    out->resize(static_cast<size_t>(size));
    ok = std::fread(&(*out)[0], 1, out->size(), f) == out->size();
  }
  std::fclose(f);
  return ok;
}

// The zone offset of a row that parse_history_row accepted: "+HH:MM" at 40.
int32_t row_offset(const char* row) {
  const int32_t hh = (row[41] - '0') * 10 + (row[42] - '0');
  const int32_t mm = (row[44] - '0') * 10 + (row[45] - '0');
  const int32_t s = (hh * 60 + mm) * 60;
  return row[40] == '-' ? -s : s;
}

void load(const std::string& path, bool local_time, History* h) {
  std::string text;
  const std::string header = std::string(kHistoryHeader) + "\r\n";
  if (!read_all(path, &text) || text.compare(0, header.size(), header) != 0) {
    h->foreign = !text.empty();
    return;
  }
  const bool tenths = is_tenths_type(h->label.type);
  const char* p = text.data() + header.size();
  const char* const end = text.data() + text.size();
  h->times.reserve(static_cast<size_t>(end - p) / 50);
  h->values.reserve(static_cast<size_t>(end - p) / 50);
  while (p < end) {
    const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
    const char* row_end = nl != nullptr ? nl : end;
    int64_t t, v;
    if (nl != nullptr && row_end > p && row_end[-1] == '\r' &&
        parse_history_row(p, row_end - 1, tenths, &t, &v) && t >= INT32_MIN && t <= INT32_MAX) {
      h->times.push_back(static_cast<int32_t>(t));
      h->values.push_back(v);
      if (local_time) {
        const int32_t off = row_offset(p);
        if (h->offsets.empty() || h->offsets.back().second != off)
          h->offsets.emplace_back(static_cast<int32_t>(t), off);
      }
    } else {
      ++h->bad_rows;
    }
    p = nl != nullptr ? nl + 1 : end;
  }
}

std::string offset_text(int32_t off) {
  char buf[16];
  const int32_t mag = off < 0 ? -off : off;
  std::snprintf(buf, sizeof buf, "%c%02d:%02d", off < 0 ? '-' : '+', mag / 3600 % 100,
                mag / 60 % 60);
  return buf;
}

// A time as the page shows it: UTC, or with -t the zone's wall clock and
// its offset, as the history's zone column writes it.
struct Clock {
  bool local = false;
  const History* h = nullptr;
  int32_t offset(int64_t t) const { return local && h != nullptr ? h->offset_at(t) : 0; }
  std::string text(int32_t t) const {
    char buf[40];
    if (!local) return std::string(buf, put_iso_utc(buf, t));
    const int32_t off = offset(t);
    char* e = put_iso_utc(buf, static_cast<int32_t>(static_cast<int64_t>(t) + off));
    return std::string(buf, e - 1) + offset_text(off);
  }
};

std::string value_text(int64_t v, bool tenths, const std::string& unit) {
  char buf[32];
  std::string s(buf, put_history_value(buf, v, tenths));
  if (!unit.empty()) s += " " + html_escape(unit);
  return s;
}

std::string type_text(uint8_t type) {
  const char* word = sensor_type_name(type);
  return *word != '\0' ? word : "type " + std::to_string(type);
}

std::string duration_text(int64_t s) {
  if (s < 60) return std::to_string(s) + " s";
  const int64_t m = s / 60;
  if (m < 60)
    return std::to_string(m) + " min" + (s % 60 ? " " + std::to_string(s % 60) + " s" : "");
  const int64_t hrs = m / 60;
  if (hrs < 24)
    return std::to_string(hrs) + " h" + (m % 60 ? " " + std::to_string(m % 60) + " min" : "");
  return std::to_string(hrs / 24) + " d" + (hrs % 24 ? " " + std::to_string(hrs % 24) + " h" : "");
}

// Value to pixel row: the maximum at the top of the plot, the minimum at its
// bottom, rounded to the nearest row.
struct Scale {
  int64_t lo, hi;
  int top = kTop, height = kPlotHeight;
  int y(int64_t v) const {
    if (hi == lo) return top + height / 2;
    const int64_t num = (hi - v) * height * 2 + (hi - lo);
    return top + static_cast<int>(num / (2 * (hi - lo)));
  }
  int y_mean(int64_t sum, int64_t count) const {
    if (hi == lo) return top + height / 2;
    const double v = static_cast<double>(sum) / static_cast<double>(count);
    return top + static_cast<int>(std::lround((static_cast<double>(hi) - v) * height /
                                              static_cast<double>(hi - lo)));
  }
};

// What one pixel column holds: its extremes in the order they came, and the
// sum and count for its mean.
struct Column {
  size_t min_at = 0, max_at = 0;
  int64_t sum = 0, count = 0;
};

struct Axis {
  int64_t first = 0, last = 0;
  int x(int64_t t) const {
    const int64_t span = last - first;
    return kLeft + (span == 0 ? 0 : static_cast<int>((t - first) * (kChartColumns - 1) / span));
  }
};

std::vector<Column> reduce(const History& h, const Axis& axis) {
  std::vector<Column> cols(kChartColumns);
  for (size_t i = 0; i < h.times.size(); ++i) {
    Column& col = cols[static_cast<size_t>(axis.x(h.times[i]) - kLeft)];
    const int64_t v = h.values[i];
    if (col.count++ == 0) {
      col.min_at = col.max_at = i;
    } else {
      if (v < h.values[col.min_at]) col.min_at = i;
      if (v > h.values[col.max_at]) col.max_at = i;
    }
    col.sum += v;
  }
  return cols;
}

void append_point(std::string& out, char command, int x, int y) {
  char buf[48];
  out.append(buf, static_cast<size_t>(std::snprintf(buf, sizeof buf, "%c%d %d", command, x, y)));
}

// The band through every column's extremes, in the order they came, then the
// line through the columns' means on top of it.
void put_series(std::string& out, const History& h, const std::vector<Column>& cols,
                const Scale& scale) {
  out += "<path class=\"line\" d=\"";
  char command = 'M';
  for (int c = 0; c < kChartColumns; ++c) {
    const Column& col = cols[static_cast<size_t>(c)];
    if (col.count == 0) continue;
    const size_t a = col.min_at < col.max_at ? col.min_at : col.max_at;
    const size_t b = col.min_at < col.max_at ? col.max_at : col.min_at;
    append_point(out, command, kLeft + c, scale.y(h.values[a]));
    command = 'L';
    if (b != a) append_point(out, 'L', kLeft + c, scale.y(h.values[b]));
  }
  out += "\"/>\n<path class=\"mean\" d=\"";
  command = 'M';
  for (int c = 0; c < kChartColumns; ++c) {
    const Column& col = cols[static_cast<size_t>(c)];
    if (col.count == 0) continue;
    append_point(out, command, kLeft + c, scale.y_mean(col.sum, col.count));
    command = 'L';
  }
  out += "\"/>\n";
}

// An on/off sensor: a column with any alarm sample is in alarm, so no alarm
// is ever hidden; alarm spells as bands, the state as a step line.
void put_states(std::string& out, const History& h, const std::vector<Column>& cols, int top,
                int height) {
  const int on = top + 6, off = top + height - 6;
  std::string bands, line = "<path class=\"state\" d=\"";
  const auto band = [&](int from, int to) {
    bands += "<rect class=\"alarm\" x=\"" + std::to_string(from) + "\" y=\"" + std::to_string(top) +
             "\" width=\"" + std::to_string(std::max(to - from, 1)) + "\" height=\"" +
             std::to_string(height) + "\"/>\n";
  };
  int prev = -1, band_from = -1, last_x = kLeft;
  for (int c = 0; c < kChartColumns; ++c) {
    const Column& col = cols[static_cast<size_t>(c)];
    if (col.count == 0) continue;
    const int state = h.values[col.min_at] != 0 || h.values[col.max_at] != 0 ? 1 : 0;
    const int x = kLeft + c;
    if (prev < 0) {
      append_point(line, 'M', x, state == 1 ? on : off);
    } else if (state != prev) {
      append_point(line, 'L', x, prev == 1 ? on : off);
      append_point(line, 'L', x, state == 1 ? on : off);
    }
    if (state == 1 && band_from < 0) band_from = x;
    if (state == 0 && band_from >= 0) {
      band(band_from, x);
      band_from = -1;
    }
    prev = state;
    last_x = x;
  }
  if (band_from >= 0) band(band_from, last_x + 1);
  append_point(line, 'L', last_x + 1, prev == 1 ? on : off);
  out += bands + line + "\"/>\n";
}

// A round value step (1, 2 or 5 times a power of ten, in the history's own
// units) that puts at most five grid lines across [lo, hi].
int64_t value_step(int64_t lo, int64_t hi) {
  const int64_t range = hi - lo;
  for (int64_t p = 1;; p *= 10) {
    for (const int64_t m : {1, 2, 5}) {
      if (range / (m * p) < 5) return m * p;
    }
    if (p > INT64_MAX / 100) return p * 10;
  }
}

void put_value_grid(std::string& out, const Scale& scale, bool tenths, const std::string& unit) {
  const int64_t step = value_step(scale.lo, scale.hi);
  const std::string right = std::to_string(kLeft + kChartColumns);
  for (int64_t v = floor_div(scale.lo + step - 1, step) * step; v <= scale.hi; v += step) {
    const std::string y = std::to_string(scale.y(v));
    out += "<line class=\"grid\" x1=\"" + std::to_string(kLeft) + "\" y1=\"" + y + "\" x2=\"" +
           right + "\" y2=\"" + y + "\"/>\n<text class=\"tick\" x=\"" + std::to_string(kLeft - 6) +
           "\" y=\"" + std::to_string(scale.y(v) + 4) + "\" text-anchor=\"end\">" +
           value_text(v, tenths, unit) + "</text>\n";
    if (scale.hi == scale.lo) break;
  }
}

// Time ticks at the natural step for the span, on the page's clock: local
// midnights, Mondays or first days of a month where the step asks.
void put_time_grid(std::string& out, const Axis& axis, const Clock& clock, int top, int height) {
  const tick_step step = choose_tick_step(axis.last - axis.first);
  const int64_t lo = axis.first + clock.offset(axis.first);
  const int64_t hi = axis.last + clock.offset(axis.last);
  std::vector<int64_t> ticks;  // local wall-clock values
  if (step.months > 0) {
    struct tm tm = {};
    split_time(static_cast<int32_t>(lo), &tm);
    int64_t month = (tm.tm_year + 1900) * int64_t{12} + tm.tm_mon;
    month = floor_div(month + step.months - 1, step.months) * step.months;
    for (;; month += step.months) {
      const int64_t t =
          days_from_civil(floor_div(month, 12),
                          static_cast<int>(month - floor_div(month, 12) * 12) + 1, 1) *
          kDay;
      if (t > hi || ticks.size() > 2 * kMaxTicks) break;
      if (t >= lo) ticks.push_back(t);
    }
  } else {
    // Weeks start on Monday: 1970-01-05 was one.
    const int64_t base = step.seconds == 7 * kDay || step.seconds == 14 * kDay ? 4 * kDay : 0;
    for (int64_t t = floor_div(lo - base + step.seconds - 1, step.seconds) * step.seconds + base;
         t <= hi && ticks.size() <= 2 * kMaxTicks; t += step.seconds)
      ticks.push_back(t);
  }
  const std::string y1 = std::to_string(top), y2 = std::to_string(top + height);
  const std::string base_y = std::to_string(top + height + 16);
  bool first_label = true;
  for (const int64_t local : ticks) {
    int64_t t = local - clock.offset(local - clock.offset(axis.last));
    t = local - clock.offset(t);
    if (t < axis.first || t > axis.last) continue;
    struct tm tm = {};
    split_time(static_cast<int32_t>(local), &tm);
    char label[32];
    if (step.months >= 12) {
      std::snprintf(label, sizeof label, "%d", tm.tm_year + 1900);
    } else if (step.months > 0) {
      std::snprintf(label, sizeof label, "%d-%02d", tm.tm_year + 1900, tm.tm_mon + 1);
    } else if (step.seconds >= kDay) {
      std::snprintf(label, sizeof label, "%d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                    tm.tm_mday);
    } else if (first_label || (tm.tm_hour == 0 && tm.tm_min == 0 && tm.tm_sec == 0)) {
      std::snprintf(label, sizeof label, "%02d-%02d %02d:%02d", tm.tm_mon + 1, tm.tm_mday,
                    tm.tm_hour, tm.tm_min);
    } else if (step.seconds < 60) {
      std::snprintf(label, sizeof label, "%02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
    } else {
      std::snprintf(label, sizeof label, "%02d:%02d", tm.tm_hour, tm.tm_min);
    }
    first_label = false;
    const int px = axis.x(t);
    const std::string x = std::to_string(px);
    // Labels near an end of the plot grow inwards, so none is cut off.
    const char* anchor = px < kLeft + 36                   ? "start"
                         : px > kLeft + kChartColumns - 36 ? "end"
                                                           : "middle";
    out += "<line class=\"grid\" x1=\"" + x + "\" y1=\"" + y1 + "\" x2=\"" + x + "\" y2=\"" + y2 +
           "\"/>\n<text class=\"tick\" x=\"" + x + "\" y=\"" + base_y + "\" text-anchor=\"" +
           anchor + "\">" + label + "</text>\n";
  }
}

std::string svg_open(int height) {
  const std::string w = std::to_string(kWidth), ht = std::to_string(height);
  return "<svg class=\"chart\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" + w + "\" height=\"" +
         ht + "\" viewBox=\"0 0 " + w + " " + ht + "\">\n";
}

std::string plot_rect(int top, int height) {
  return "<rect class=\"plot\" x=\"" + std::to_string(kLeft) + "\" y=\"" + std::to_string(top) +
         "\" width=\"" + std::to_string(kChartColumns) + "\" height=\"" + std::to_string(height) +
         "\"/>\n";
}

// The zone offsets a history's times carry, for its caption with -t.
std::string offsets_text(const History& h) {
  std::vector<int32_t> seen;
  for (const auto& entry : h.offsets)
    if (std::find(seen.begin(), seen.end(), entry.second) == seen.end())
      seen.push_back(entry.second);
  std::sort(seen.begin(), seen.end());
  std::string s;
  for (size_t i = 0; i < seen.size(); ++i)
    s += (i == 0 ? "" : i + 1 == seen.size() ? " and " : ", ") + ("UTC" + offset_text(seen[i]));
  return s;
}

void put_section(std::string& out, const History& h, bool local_time) {
  const sensor_label& l = h.label;
  const bool tenths = is_tenths_type(l.type);
  const Clock clock{local_time, &h};
  out += "<section class=\"sensor\">\n<h2>Port " + std::to_string(l.port) + ", slot " +
         std::to_string(l.slot) + ": " + html_escape(type_text(l.type)) + "</h2>\n";
  if (h.read_this_run) {
    out += "<p class=\"about\">" + html_escape(l.description) + " &middot; unit " +
           (l.unit.empty() ? "none" : html_escape(l.unit)) + " &middot; system " +
           html_escape(l.system_name) + "</p>\n";
  } else {
    out += "<p class=\"about\">Not read this run: description and unit unknown.</p>\n";
  }
  if (l.history_behind) {
    out += std::string("<p class=\"note\">Read this run, but its history could not be written: ") +
           (h.missing ? "there is no history to draw yet."
                      : "the chart ends with the samples saved before.") +
           "</p>\n";
    if (l.has_newest) {
      // The history may not reach this far: the offset comes from the zone.
      std::string when;
      if (local_time) {
        zone_engine zones;
        zones.zone_convert(l.newest_time, l.zone);
        const int32_t off = -zones.zone_bias * 60;
        char buf[40];
        char* e = put_iso_utc(buf, static_cast<int32_t>(int64_t{l.newest_time} + off));
        when = std::string(buf, e - 1) + offset_text(off);
      } else {
        when = clock.text(l.newest_time);
      }
      out += "<p class=\"facts\">Newest read <b>" + value_text(l.newest_value, tenths, l.unit) +
             "</b> at " + when + "</p>\n";
    }
  }
  if (h.missing) {
    out += "</section>\n";
    return;
  }
  if (h.foreign) {
    out += "<p class=\"note\">Its file is not a CSV history.</p>\n</section>\n";
    return;
  }
  const size_t n = h.times.size();
  size_t lo_at = 0, hi_at = 0;
  for (size_t i = 1; i < n; ++i) {
    if (h.values[i] < h.values[lo_at]) lo_at = i;
    if (h.values[i] > h.values[hi_at]) hi_at = i;
  }
  const bool on_off = is_on_off_type(l.type);
  if (n > 0) {
    out += "<p class=\"facts\">Newest <b>" + value_text(h.values[n - 1], tenths, l.unit) +
           "</b> at " + clock.text(h.times[n - 1]) + " &middot; minimum <b>" +
           value_text(h.values[lo_at], tenths, l.unit) + "</b> at " + clock.text(h.times[lo_at]) +
           " &middot; maximum <b>" + value_text(h.values[hi_at], tenths, l.unit) + "</b> at " +
           clock.text(h.times[hi_at]) + " &middot; " + std::to_string(n) + " samples</p>\n";
    if (local_time && !h.offsets.empty())
      out += "<p class=\"zone\">Times in the sensor's zone" +
             (h.read_this_run ? " (" + html_escape(zone_name(l.zone)) + ")" : std::string()) +
             ", " + offsets_text(h) + ".</p>\n";
  }
  if (on_off && n > 0) {
    int64_t first = h.times.front(), last = first;
    for (const int32_t t : h.times) {
      first = std::min<int64_t>(first, t);
      last = std::max<int64_t>(last, t);
    }
    out += "<p class=\"alarm-time\">In alarm (not 0): <b>" +
           duration_text(alarm_seconds(h.times, h.values)) + "</b> of the " +
           duration_text(last - first) + " shown</p>\n";
  }
  if (h.bad_rows > 0)
    out += "<p class=\"note\">" + std::to_string(h.bad_rows) + " unreadable rows left out.</p>\n";

  const int plot = on_off ? kStateHeight : kPlotHeight;
  out += svg_open(on_off ? kStateTall : kHeight) + plot_rect(kTop, plot);
  if (n == 0) {
    out += "<text x=\"" + std::to_string(kLeft + kChartColumns / 2) + "\" y=\"" +
           std::to_string(kTop + plot / 2) +
           "\" text-anchor=\"middle\">No samples yet</text>\n</svg>\n</section>\n";
    return;
  }
  // The writer keeps rows in time order; an edited file may not.
  Axis axis{h.times.front(), h.times.front()};
  for (const int32_t t : h.times) {
    axis.first = std::min<int64_t>(axis.first, t);
    axis.last = std::max<int64_t>(axis.last, t);
  }
  const std::vector<Column> cols = reduce(h, axis);
  put_time_grid(out, axis, clock, kTop, plot);
  if (on_off) {
    const std::string label_x = std::to_string(kLeft - 6);
    out += "<text class=\"tick\" x=\"" + label_x + "\" y=\"" + std::to_string(kTop + 10) +
           "\" text-anchor=\"end\">alarm</text>\n<text class=\"tick\" x=\"" + label_x + "\" y=\"" +
           std::to_string(kTop + plot - 2) + "\" text-anchor=\"end\">0</text>\n";
    put_states(out, h, cols, kTop, plot);
  } else {
    const Scale scale{h.values[lo_at], h.values[hi_at]};
    put_value_grid(out, scale, tenths, l.unit);
    put_series(out, h, cols, scale);
  }
  out += "</svg>\n</section>\n";
}

constexpr char kStyle[] =
    "body{font-family:sans-serif;margin:1.5em;color:#222;background:#fff}"
    "h1{font-size:1.4em}h2{font-size:1.1em;margin:1.2em 0 .2em}"
    "p{margin:.2em 0}.note{color:#a33}.alarm-time b{color:#c62828}"
    "svg.chart{display:block;font-size:11px;fill:#444}"
    "svg .plot{fill:#f6f8fb;stroke:#c8d0da}"
    "svg .grid{stroke:#dde3ea;stroke-width:1}"
    "svg .line{fill:none;stroke:#90b4e0;stroke-width:1;stroke-linejoin:round}"
    "svg .mean{fill:none;stroke:#0d47a1;stroke-width:1.5;stroke-linejoin:round;"
    "stroke-linecap:round}"
    "svg .alarm{fill:#f6c1c1}"
    "svg .state{fill:none;stroke:#c62828;stroke-width:1.5}";

// "Written ..." in UTC, and with -t on the clock of each zone offset that
// the histories read this run hold now.
std::string written_text(const std::vector<History>& histories, bool local_time) {
  const int64_t now64 = static_cast<int64_t>(std::time(nullptr));
  const int32_t now = static_cast<int32_t>(std::min<int64_t>(now64, INT32_MAX));
  std::string s = "<p class=\"written\">Page written " + Clock{}.text(now);
  if (local_time) {
    std::vector<int32_t> seen;
    for (const History& h : histories) {
      if (h.offsets.empty() || !h.read_this_run) continue;
      const int32_t off = h.offset_at(now);
      if (std::find(seen.begin(), seen.end(), off) != seen.end()) continue;
      seen.push_back(off);
      s += ", " + Clock{true, &h}.text(now);
    }
    if (!seen.empty()) s += seen.size() == 1 ? " in the box's zone" : " in the sensors' zones";
  }
  return s + ".</p>\n";
}

}  // namespace

std::string html_escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        if (c < 0x20 || (c >= 0x7F && c < 0xA0)) {
          out += "&#xFFFD;";
        } else if (c >= 0xA0) {
          out += "&#" + std::to_string(c) + ";";
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

tick_step choose_tick_step(int64_t span) {
  static const tick_step kSteps[] = {
      {10, 0},       {30, 0},       {60, 0},        {120, 0},   {300, 0},   {600, 0},   {900, 0},
      {1800, 0},     {3600, 0},     {7200, 0},      {10800, 0}, {21600, 0}, {43200, 0}, {kDay, 0},
      {2 * kDay, 0}, {7 * kDay, 0}, {14 * kDay, 0}, {0, 1},     {0, 2},     {0, 3},     {0, 6},
      {0, 12},       {0, 24},       {0, 60},        {0, 120},   {0, 240}};
  // A month counted as its mean length, only to pick the step.
  constexpr int64_t kMonth = 2629746;
  for (const tick_step& s : kSteps) {
    const int64_t size = s.months > 0 ? s.months * kMonth : s.seconds;
    if (span / size < kMaxTicks) return s;
  }
  return kSteps[sizeof kSteps / sizeof kSteps[0] - 1];
}

int64_t alarm_seconds(const std::vector<int32_t>& times, const std::vector<int64_t>& values) {
  int64_t total = 0;
  const size_t n = std::min(times.size(), values.size());
  for (size_t i = 0; i + 1 < n; ++i) {
    const int64_t gap = int64_t{times[i + 1]} - times[i];
    if (values[i] != 0 && gap > 0) total += gap;
  }
  if (n >= 2 && values[n - 1] != 0) {
    const int64_t gap = int64_t{times[n - 1]} - times[n - 2];
    if (gap > 0) total += gap;
  }
  return total;
}

bool is_on_off_type(uint8_t type) {
  return type == 4 || type == 6 || type == 12 || type == 15 || type == 16;
}

namespace {

int write_page(const std::string& folder, const std::string& address,
               const std::vector<sensor_label>& labels, bool local_time, message_sink& console) {
  std::vector<History> histories;
  for (int port = 1; port <= kPorts; ++port) {
    for (int slot = 1; slot <= kSlots; ++slot) {
      History h;
      h.label.port = port;
      h.label.slot = slot;
      for (const sensor_label& l : labels) {
        if (l.port == port && l.slot == slot) {
          h.label = l;
          h.read_this_run = true;
        }
      }
      std::string path;
      if (h.read_this_run) {
        path = folder + history_name(address, port, slot, h.label.type);
        if (!file_exists(path)) {
          if (!h.label.history_behind) continue;
          h.missing = true;  // what was read is shown all the same
          histories.push_back(std::move(h));
          continue;
        }
      } else {
        // A history from an earlier run: its type is in its name.
        for (int type = 0; type < kSensorTypeCount && path.empty(); ++type) {
          const std::string candidate =
              folder + history_name(address, port, slot, static_cast<uint8_t>(type));
          if (*sensor_type_name(static_cast<uint8_t>(type)) != '\0' && file_exists(candidate)) {
            path = candidate;
            h.label.type = static_cast<uint8_t>(type);
          }
        }
        if (path.empty()) continue;
      }
      load(path, local_time, &h);
      histories.push_back(std::move(h));
    }
  }

  // Nothing to draw (say, a first run that read no sensor): no page.
  if (histories.empty()) {
    console.say("No CSV history of %s to draw a page from.\n", address.c_str());
    return -1;
  }

  std::string system;
  for (const sensor_label& l : labels)
    if (system.empty()) system = l.system_name;
  const std::string title = std::string(kProductName) + " " + html_escape(address);
  std::string out;
  out.reserve(64 * 1024 + histories.size() * 16 * 1024);
  out += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" + title +
         (system.empty() ? "" : " &middot; " + html_escape(system)) + "</title>\n<style>" + kStyle +
         "</style>\n</head>\n<body>\n<h1>" + title +
         (system.empty() ? "" : " &middot; " + html_escape(system)) + "</h1>\n";
  out += local_time ? "<p>Every sample of the CSV histories in this folder; times in each "
                      "sensor's zone, its offset from UTC named.</p>\n"
                    : "<p>Every sample of the CSV histories in this folder; times in UTC.</p>\n";
  out += written_text(histories, local_time);
  for (const History& h : histories) put_section(out, h, local_time);
  out += "</body>\n</html>\n";

  const std::string path = folder + chart_page_name(address);
  console.say("Saving charts to %s ...\n", path.c_str());
  write_block block;
  text_file file(block, console);
  if (!file.open(path, text_file::mode::replace, text_file::form::binary)) return -1;
  file.text(out);
  if (!file.finish()) return -1;
  return 0;
}

}  // namespace

int write_chart_page(const output_context& ctx, const std::string& address,
                     const std::vector<sensor_label>& labels) {
  return write_page(ctx.folder, address, labels, ctx.local_time,
                    ctx.sink != nullptr ? *ctx.sink : standard_sink());
}
