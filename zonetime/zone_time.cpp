#include "zonetime/zone_time.h"

#include <algorithm>

#include "zonetime/civil.h"

namespace {
// Constant-initialised, so the names below are bound before any code runs.
zone_engine process_engine;
}  // namespace

zone_engine& process_zones() { return process_engine; }

int32_t& zone_bias = process_engine.zone_bias;
int32_t& dst_start = process_engine.dst_start;
int32_t& dst_end = process_engine.dst_end;
struct tm& zone_tm = process_engine.zone_tm;

namespace {

constexpr int32_t kSecondsPerDay = 86400;

// Instants are 32-bit and wrap like the box's clock: all sums and products
// run in uint32_t and are read back as two's complement.
inline int32_t wrap32(uint32_t v) { return static_cast<int32_t>(v); }
inline uint32_t u32(int64_t v) { return static_cast<uint32_t>(v); }

// Zeller's congruence for the weekday of the first of a month, with
// truncating division, split into a year part and a month part that add up
// modulo 7. The two rules of a pair share the year part.
inline int zeller_year_part(int64_t yy) {
  const int c = static_cast<int>(yy / 100);
  const int y2 = static_cast<int>(yy % 100);
  const int part = (1 + y2 + y2 / 4 + c / 4 - 2 * c) % 7;
  return part < 0 ? part + 7 : part;
}

constexpr int zeller_month_part(int month) {
  const int m1 = (month + 9) % 12 + 1;  // March = 1 .. February = 12
  return (26 * m1 - 2) / 10 % 7;
}

struct MonthParts {
  int of[12];  // index month - 1
};

constexpr MonthParts month_parts() {
  MonthParts parts{};
  for (int month = 1; month <= 12; ++month) parts.of[month - 1] = zeller_month_part(month);
  return parts;
}

constexpr MonthParts kZellerMonthParts = month_parts();

// What the rules of one year have in common.
struct RuleYear {
  int year;
  int leap;
  uint32_t start;   // 1 January, 00:00:00 UTC
  int zeller_part;  // of year; January and February use year - 1
};

inline RuleYear rule_year(int32_t yearStart, int year) {
  return RuleYear{year, civil::is_leap(year), static_cast<uint32_t>(yearStart),
                  zeller_year_part(year)};
}

inline int32_t instant_of(const RuleYear& ry, const DstRule& rule, int32_t biasMinutes) {
  uint32_t t = ry.start;
  switch (rule.kind) {
    case DST_JULIAN_DAY:
      t += u32(int64_t{rule.day} - 1) * uint32_t{kSecondsPerDay};
      if (ry.leap && rule.day >= 60) t += kSecondsPerDay;
      break;
    case DST_YEAR_DAY:
      t += u32(rule.day) * uint32_t{kSecondsPerDay};
      break;
    case DST_MONTH_WEEK_DAY: {
      const int month = rule.month - 1;
      t += uint32_t{month_start_days[ry.leap][month]} * uint32_t{kSecondsPerDay};
      const int year_part =
          rule.month <= 2 ? zeller_year_part(int64_t{ry.year} - 1) : ry.zeller_part;
      const int first_weekday = (year_part + kZellerMonthParts.of[month]) % 7;  // both 0..6
      int64_t d = int64_t{rule.day} - first_weekday;
      if (d < 0) d += 7;
      // Week n lies n - 1 weeks on, but never past the month's last
      // occurrence: then the rule keeps the last one.
      const int64_t weeks_on = std::max<int64_t>(int64_t{rule.week} - 1, 0);
      const int64_t weeks_left = std::max<int64_t>((month_days[ry.leap][month] - 1 - d) / 7, 0);
      d += 7 * std::min(weeks_on, weeks_left);
      t += u32(d) * uint32_t{kSecondsPerDay};
      break;
    }
    default:
      break;
  }
  return wrap32(t + u32(int64_t{rule.minutes} + biasMinutes) * 60u);
}

// Every 32-bit time value lies between 1901-12-13 and 2038-01-19. In those
// years every fourth year is a leap year (2000 is one; 1900 and 2100 lie
// outside), so from 1901-01-01 on the calendar repeats every 1461 days and
// the year and day of the year come straight from the count of days. This
// gives what the year-by-year correction would, without its rounds.
constexpr int64_t kDaysFrom1901 = 25202;  // 1901-01-01 to 1970-01-01
constexpr uint32_t kDaysPerCycle = 4 * 365 + 1;

struct DaySplit {
  uint32_t day;   // days since 1901-01-01, a Tuesday
  uint32_t secs;  // 0..86399
};

// floor(local / 86400) and the rest, for before 1970 too.
inline DaySplit split_day(int32_t local) {
  const uint64_t since_1901 =
      static_cast<uint64_t>(int64_t{local} + kDaysFrom1901 * kSecondsPerDay);
  const uint32_t day = static_cast<uint32_t>(since_1901 / kSecondsPerDay);
  return DaySplit{day, static_cast<uint32_t>(since_1901 - uint64_t{day} * kSecondsPerDay)};
}

struct YearDay {
  int32_t year;
  int32_t yday;  // 0 = 1 January
  int leap;
};

inline YearDay year_day(uint32_t day) {
  const uint32_t cycle = day / kDaysPerCycle;
  const uint32_t in_cycle = day - cycle * kDaysPerCycle;
  uint32_t year_in_cycle = in_cycle / 365;
  if (year_in_cycle > 3) year_in_cycle = 3;  // 31 December of the leap year
  return YearDay{static_cast<int32_t>(1901 + 4 * cycle + year_in_cycle),
                 static_cast<int32_t>(in_cycle - 365 * year_in_cycle), year_in_cycle == 3 ? 1 : 0};
}

// A year's daylight window depends on nothing but the zone and the year, and
// every 32-bit local value falls in 1901..2038: each window is computed once,
// when first asked for, and kept.
constexpr int kFirstYear = 1, kYears = 138;  // tm_year 1 (1901) to 138 (2038)
struct Window {
  int32_t start;
  int32_t end;
};

Window compute_window(const TimeZoneEntry& entry, int tmYear) {
  const int year = static_cast<int>(int64_t{tmYear} + 1900);
  const RuleYear ry = rule_year(year_start_time(year), year);
  const DstRulePair& pair = *entry.dst;
  const bool wall_clock = pair.end.wallClock == 1;
  const int32_t bias = wall_clock ? entry.bias : 0;
  const int32_t start = instant_of(ry, pair.start, bias);
  const int32_t end =
      wrap32(static_cast<uint32_t>(instant_of(ry, pair.end, bias)) - (wall_clock ? 3600u : 0u));
  return Window{start, end};
}

// Every window of every zone and year, computed once and never written
// after, so walks on several threads read it without a lock.
struct WindowTable {
  Window of[kZoneCount][kYears];
  WindowTable() {
    for (int zone = 0; zone < kZoneCount; ++zone) {
      const TimeZoneEntry& entry = zone_entry(static_cast<uint8_t>(zone));
      for (int row = 0; row < kYears; ++row)
        of[zone][row] =
            entry.dst == nullptr ? Window{0, 0} : compute_window(entry, row + kFirstYear);
    }
  }
};

const WindowTable& windows() {
  static const WindowTable table;
  return table;
}

int32_t local_value(int32_t t, int32_t bias) {
  return wrap32(static_cast<uint32_t>(t) - static_cast<uint32_t>(bias) * 60u);
}

}  // namespace

int32_t year_start_time(int year) {
  return wrap32(u32(civil::days_from_civil(year, 1, 1)) * uint32_t{kSecondsPerDay});
}

int32_t rule_instant(int32_t yearStart, int year, const DstRule& rule, int32_t biasMinutes) {
  return instant_of(rule_year(yearStart, year), rule, biasMinutes);
}

void zone_window(int tmYear, uint8_t zone, int32_t* start, int32_t* end) {
  const TimeZoneEntry& entry = zone_entry(zone);
  if (entry.dst == nullptr) {
    *start = 0;
    *end = 0;
    return;
  }
  const int row = tmYear - kFirstYear;
  if (row < 0 || row >= kYears) {  // only reachable through a direct call
    const Window w = compute_window(entry, tmYear);
    *start = w.start;
    *end = w.end;
    return;
  }
  const Window& w = windows().of[zone_index(zone)][row];
  *start = w.start;
  *end = w.end;
}

bool zone_in_daylight(int32_t start, int32_t end, int32_t t) {
  if (start == 0 || end == 0) return false;
  return start <= end ? (t >= start && t < end) : (t >= start || t < end);
}

void zone_engine::zone_set_year(int tmYear, uint8_t zone) {
  zone_window(tmYear, zone, &dst_start, &dst_end);
}

void zone_engine::zone_set_bias(uint8_t zone, int32_t t) {
  zone_bias = zone_entry(zone).bias;
  if (zone_in_daylight(dst_start, dst_end, t)) zone_bias -= 60;
}

void zone_set_year(int tmYear, uint8_t zone) { process_zones().zone_set_year(tmYear, zone); }
void zone_set_bias(uint8_t zone, int32_t t) { process_zones().zone_set_bias(zone, t); }

void split_time(int32_t local, struct tm* out) {
  *out = tm{};
  const DaySplit ds = split_day(local);
  out->tm_hour = static_cast<int>(ds.secs / 3600);
  out->tm_min = static_cast<int>(ds.secs % 3600 / 60);
  out->tm_sec = static_cast<int>(ds.secs % 60);
  out->tm_wday = static_cast<int>((ds.day + 2) % 7);

  const YearDay yd = year_day(ds.day);
  out->tm_year = yd.year - 1900;
  out->tm_yday = yd.yday;

  // No month is longer than 32 days, so yday / 32 is the month or the one
  // before it.
  const uint16_t* row = month_start_days[yd.leap];
  int i = yd.yday / 32;
  if (i < 11 && yd.yday >= row[i + 1]) ++i;
  out->tm_mon = i;
  out->tm_mday = yd.yday - row[i] + 1;
}

struct tm* zone_engine::zone_localtime(const int32_t* t) {
  split_time(local_value(*t, zone_bias), &zone_tm);
  return &zone_tm;
}

struct tm* zone_localtime(const int32_t* t) {
  return process_zones().zone_localtime(t);
}
struct tm* zone_convert(int32_t t, uint8_t zone) {
  return process_zones().zone_convert(t, zone);
}

struct tm* zone_engine::zone_convert(int32_t t, uint8_t zone) {
  // The year comes from the bias of the previous call; near the turn of the
  // year it may be off by one, which no March, April or October rule notices.
  // Only the year of that first split is used, and the second one overwrites
  // zone_tm, so the first stops at the year.
  const int32_t year = year_day(split_day(local_value(t, zone_bias)).day).year;
  zone_set_year(year - 1900, zone);
  zone_set_bias(zone, t);
  return zone_localtime(&t);
}
