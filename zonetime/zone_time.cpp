#include "zonetime/zone_time.h"

int32_t zone_bias = 0;
int32_t dst_start = 0;
int32_t dst_end = 0;
struct tm zone_tm = {};

namespace {

constexpr int32_t kSecondsPerDay = 86400;
// 1 January of year 1 to 1 January 1970 (719162 days), in seconds.
constexpr int64_t kYearOneToEpoch = 62135596800;

// Instants are 32-bit and wrap like the box's clock: all sums and products
// run in uint32_t and are read back as two's complement.
inline int32_t wrap32(uint32_t v) { return static_cast<int32_t>(v); }
inline uint32_t u32(int64_t v) { return static_cast<uint32_t>(v); }

inline bool is_leap(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

inline int32_t floor_div(int32_t a, int32_t b) {
  const int32_t q = a / b;
  return (a % b < 0) ? q - 1 : q;
}

inline int32_t leaps_through(int32_t year) {
  return floor_div(year, 4) - floor_div(year, 100) + floor_div(year, 400);
}

// Weekday (0 = Sunday) of the first day of month 1..12 in year, by Zeller's
// congruence with truncating division.
int first_weekday(int year, int month) {
  const int64_t m1 = (month + 9) % 12 + 1;  // March = 1 .. February = 12
  const int64_t yy = month <= 2 ? int64_t{year} - 1 : int64_t{year};
  const int64_t c = yy / 100;
  const int64_t y2 = yy % 100;
  int64_t dow = ((26 * m1 - 2) / 10 + 1 + y2 + y2 / 4 + c / 4 - 2 * c) % 7;
  if (dow < 0) dow += 7;
  return static_cast<int>(dow);
}

}  // namespace

int32_t year_start_time(int year) {
  const int64_t y = int64_t{year} - 1;
  const int64_t days = 365 * y + y / 4 - y / 100 + y / 400;
  return wrap32(u32(days) * uint32_t{kSecondsPerDay} - u32(kYearOneToEpoch));
}

int32_t rule_instant(int32_t yearStart, int year, const DstRule& rule, int32_t biasMinutes) {
  uint32_t t = static_cast<uint32_t>(yearStart);
  const int leap = is_leap(year) ? 1 : 0;
  switch (rule.kind) {
    case DST_JULIAN_DAY:
      t += u32(int64_t{rule.day} - 1) * uint32_t{kSecondsPerDay};
      if (leap && rule.day >= 60) t += kSecondsPerDay;
      break;
    case DST_YEAR_DAY:
      t += u32(rule.day) * uint32_t{kSecondsPerDay};
      break;
    case DST_MONTH_WEEK_DAY: {
      const int32_t* lengths = month_days[leap];
      for (int i = 0; i < rule.month - 1; ++i) t += u32(lengths[i]) * uint32_t{kSecondsPerDay};
      int64_t d = int64_t{rule.day} - first_weekday(year, rule.month);
      if (d < 0) d += 7;
      // Past the month's last occurrence the rule keeps the last one.
      for (int i = 1; i < rule.week; ++i) {
        if (d + 7 >= lengths[rule.month - 1]) break;
        d += 7;
      }
      t += u32(d) * uint32_t{kSecondsPerDay};
      break;
    }
    default:
      break;
  }
  return wrap32(t + u32(int64_t{rule.minutes} + biasMinutes) * 60u);
}

void zone_set_year(int tmYear, uint8_t zone) {
  const int year = static_cast<int>(int64_t{tmYear} + 1900);
  const int32_t year_start = year_start_time(year);
  const TimeZoneEntry& entry = zone_entry(zone);
  if (entry.dst == nullptr) {
    dst_start = 0;
    dst_end = 0;
    return;
  }
  const DstRulePair& pair = *entry.dst;
  if (pair.end.wallClock == 1) {
    // Start is given in local standard time, end in local daylight time,
    // whose bias is an hour less.
    dst_start = rule_instant(year_start, year, pair.start, entry.bias);
    dst_end =
        wrap32(static_cast<uint32_t>(rule_instant(year_start, year, pair.end, entry.bias)) - 3600u);
  } else {
    dst_start = rule_instant(year_start, year, pair.start, 0);
    dst_end = rule_instant(year_start, year, pair.end, 0);
  }
}

void zone_set_bias(uint8_t zone, int32_t t) {
  zone_bias = zone_entry(zone).bias;
  if (dst_start == 0 || dst_end == 0) return;
  const bool daylight =
      dst_start <= dst_end ? (t >= dst_start && t < dst_end) : (t >= dst_start || t < dst_end);
  if (daylight) zone_bias -= 60;
}

void split_time(int32_t local, struct tm* out) {
  *out = tm{};
  int32_t days = floor_div(local, kSecondsPerDay);
  const int32_t secs = static_cast<int32_t>(int64_t{local} - int64_t{days} * kSecondsPerDay);
  out->tm_hour = secs / 3600;
  out->tm_min = secs % 3600 / 60;
  out->tm_sec = secs % 60;
  int32_t wday = (days + 4) % 7;
  out->tm_wday = wday < 0 ? wday + 7 : wday;

  // Guess the year from 365-day years, then correct by the leap days between.
  int32_t y = 1970;
  while (days < 0 || days >= (is_leap(y) ? 366 : 365)) {
    const int32_t g = y + floor_div(days, 365);
    days -= (g - y) * 365 + leaps_through(g - 1) - leaps_through(y - 1);
    y = g;
  }
  out->tm_year = y - 1900;
  out->tm_yday = days;

  const uint16_t* row = month_start_days[is_leap(y) ? 1 : 0];
  int i = 11;
  while (days < row[i]) --i;
  out->tm_mon = i;
  out->tm_mday = days - row[i] + 1;
}

struct tm* zone_localtime(const int32_t* t) {
  const uint32_t local = static_cast<uint32_t>(*t) - static_cast<uint32_t>(zone_bias) * 60u;
  split_time(wrap32(local), &zone_tm);
  return &zone_tm;
}

struct tm* zone_convert(int32_t t, uint8_t zone) {
  // The year comes from the bias of the previous call; near the turn of the
  // year it may be off by one, which no March, April or October rule notices.
  const int tm_year = zone_localtime(&t)->tm_year;
  zone_set_year(tm_year, zone);
  zone_set_bias(zone, t);
  return zone_localtime(&t);
}
