#include "zonetime/zone_time.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// Read before main, so before any conversion could have run.
const int32_t kBiasAtStart = zone_bias;
const int32_t kStartAtStart = dst_start;
const int32_t kEndAtStart = dst_end;

// Days from 1970-01-01 to a proleptic Gregorian date, by era arithmetic that
// shares nothing with the engine.
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

int64_t utc64(int y, int mon, int d, int h = 0, int mi = 0, int s = 0) {
  return days_from_civil(y, mon, d) * 86400 + h * 3600 + mi * 60 + s;
}

int32_t utc(int y, int mon, int d, int h = 0, int mi = 0, int s = 0) {
  return static_cast<int32_t>(utc64(y, mon, d, h, mi, s));
}

std::string show(const struct tm& tm) {
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return text;
}

bool is_leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// Every field within its calendar range, and the day of the year consistent
// with the date.
void expect_valid_date(const struct tm& tm) {
  const int year = tm.tm_year + 1900;
  ASSERT_GE(tm.tm_mon, 0);
  ASSERT_LE(tm.tm_mon, 11);
  EXPECT_GE(tm.tm_mday, 1);
  EXPECT_LE(tm.tm_mday, month_days[is_leap(year)][tm.tm_mon]);
  EXPECT_EQ(tm.tm_yday, month_start_days[is_leap(year)][tm.tm_mon] + tm.tm_mday - 1);
  EXPECT_GE(tm.tm_hour, 0);
  EXPECT_LE(tm.tm_hour, 23);
  EXPECT_GE(tm.tm_min, 0);
  EXPECT_LE(tm.tm_min, 59);
  EXPECT_GE(tm.tm_sec, 0);
  EXPECT_LE(tm.tm_sec, 59);
  EXPECT_GE(tm.tm_wday, 0);
  EXPECT_LE(tm.tm_wday, 6);
  EXPECT_EQ(tm.tm_isdst, 0);
}

class ZoneTime : public ::testing::Test {
 protected:
  // As at the start of a run.
  void SetUp() override {
    zone_bias = 0;
    dst_start = 0;
    dst_end = 0;
  }
};

TEST(ZoneState, StartsAsUtcWithoutWindow) {
  EXPECT_EQ(kBiasAtStart, 0);
  EXPECT_EQ(kStartAtStart, 0);
  EXPECT_EQ(kEndAtStart, 0);
}

TEST(YearStartTime, KnownYears) {
  const struct {
    int year;
    int32_t expected;
  } cases[] = {
      {1970, 0},           {2005, 1104537600},  {2038, 2145916800},
      {1902, -2145916800}, {2039, -2117514496}, {1901, 2117514496},
  };
  for (const auto& c : cases) EXPECT_EQ(year_start_time(c.year), c.expected) << c.year;
}

TEST(YearStartTime, EveryYearIsTheTrueInstantModulo2To32) {
  for (int year = 1901; year <= 2039; ++year) {
    const int64_t exact = utc64(year, 1, 1);
    EXPECT_EQ(year_start_time(year), static_cast<int32_t>(static_cast<uint32_t>(exact))) << year;
    if (year >= 1902 && year <= 2038) {
      EXPECT_EQ(year_start_time(year), exact) << year;
    }
  }
  // Far years wrap the same way.
  for (int year : {1, 1600, 2100, 2400, 9999}) {
    EXPECT_EQ(year_start_time(year), static_cast<int32_t>(static_cast<uint32_t>(utc64(year, 1, 1))))
        << year;
  }
}

TEST(RuleInstant, RulesOfEveryKind) {
  const struct {
    const char* what;
    DstRule rule;
    int year;
    int32_t bias;
    int32_t expected;
  } cases[] = {
      {"last Sunday of March 2005 (four Sundays)",
       {DST_MONTH_WEEK_DAY, 1, 0, 5, 3, 0},
       2005,
       0,
       utc(2005, 3, 27)},
      {"last Sunday of October 2005 (five Sundays)",
       {DST_MONTH_WEEK_DAY, 1, 0, 5, 10, 0},
       2005,
       0,
       utc(2005, 10, 30)},
      {"last Sunday of leap February",
       {DST_MONTH_WEEK_DAY, 1, 0, 5, 2, 0},
       2004,
       0,
       utc(2004, 2, 29)},
      {"last Sunday of common February",
       {DST_MONTH_WEEK_DAY, 1, 0, 5, 2, 0},
       2005,
       0,
       utc(2005, 2, 27)},
      {"first Sunday of January", {DST_MONTH_WEEK_DAY, 1, 0, 1, 1, 0}, 2005, 0, utc(2005, 1, 2)},
      {"third Sunday of March", {DST_MONTH_WEEK_DAY, 1, 0, 3, 3, 0}, 2005, 0, utc(2005, 3, 20)},
      {"fourth Saturday of May", {DST_MONTH_WEEK_DAY, 1, 6, 4, 5, 0}, 2021, 0, utc(2021, 5, 22)},
      {"weekday on the 1st", {DST_MONTH_WEEK_DAY, 1, 3, 1, 12, 0}, 2021, 0, utc(2021, 12, 1)},
      {"Julian day 60 in a leap year", {DST_JULIAN_DAY, 1, 60, 0, 0, 0}, 2004, 0, utc(2004, 3, 1)},
      {"Julian day 59 in a leap year", {DST_JULIAN_DAY, 1, 59, 0, 0, 0}, 2004, 0, utc(2004, 2, 28)},
      {"Julian day 60 in a common year",
       {DST_JULIAN_DAY, 1, 60, 0, 0, 0},
       2005,
       0,
       utc(2005, 3, 1)},
      {"Julian day 1", {DST_JULIAN_DAY, 1, 1, 0, 0, 0}, 2005, 0, utc(2005, 1, 1)},
      {"year day 59 in a leap year", {DST_YEAR_DAY, 1, 59, 0, 0, 0}, 2004, 0, utc(2004, 2, 29)},
      {"year day 365 in a leap year", {DST_YEAR_DAY, 1, 365, 0, 0, 0}, 2004, 0, utc(2004, 12, 31)},
      {"minutes and bias", {DST_MONTH_WEEK_DAY, 1, 0, 1, 4, 120}, 2005, 300, utc(2005, 4, 3, 7)},
      {"negative bias crosses midnight back",
       {DST_MONTH_WEEK_DAY, 1, 0, 1, 10, 120},
       2005,
       -720,
       utc(2005, 10, 1, 14)},
      {"before 1970", {DST_MONTH_WEEK_DAY, 1, 0, 5, 10, 60}, 1950, 0, utc(1950, 10, 29, 1)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(rule_instant(year_start_time(c.year), c.year, c.rule, c.bias), c.expected) << c.what;
  }
}

TEST(RuleInstant, WrapsLikeTheBoxClock) {
  // April 2038 lies past the end of the range and comes back 2^32 seconds
  // earlier.
  const DstRule rule{DST_MONTH_WEEK_DAY, 1, 0, 1, 4, 120};
  EXPECT_EQ(rule_instant(year_start_time(2038), 2038, rule, 300),
            static_cast<int32_t>(static_cast<uint32_t>(utc64(2038, 4, 4, 7))));
}

TEST_F(ZoneTime, SetYearWindowsFor2005) {
  const struct {
    uint8_t zone;
    int32_t start;
    int32_t end;
  } cases[] = {
      {35, 1112511600, 1130652000},  // D: local wall clock, bias 300
      {15, 1111888800, 1130641200},  // B: UTC, no bias and no hour
      {38, 1130601600, 1111852800},  // F: start after end, across the new year
      {10, utc(2005, 4, 3, 15, 30), utc(2005, 10, 30, 14, 30)},  // E: noon rules
      {41, utc(2005, 10, 1, 14), utc(2005, 3, 19, 14)},          // H: third Sunday of March
      {36, utc(2005, 10, 9, 4), utc(2005, 3, 13, 3)},            // I: second Sundays
      {14, utc(2005, 3, 27, 1), utc(2005, 10, 30, 2)},           // A
      {16, utc(2005, 3, 27, 3), utc(2005, 10, 30, 4)},           // C
      {37, utc(2005, 10, 1, 16, 30), utc(2005, 3, 26, 16, 30)},  // G, bias -570
      {39, utc(2005, 10, 1, 16), utc(2005, 3, 26, 16)},          // G, bias -600
  };
  for (const auto& c : cases) {
    dst_start = dst_end = 12345;
    zone_set_year(105, c.zone);
    EXPECT_EQ(dst_start, c.start) << "zone " << int{c.zone};
    EXPECT_EQ(dst_end, c.end) << "zone " << int{c.zone};
  }
}

// The window of a zone and year must not depend on what was asked before:
// zone by zone, year by year, or the same question twice with the state
// overwritten in between.
TEST_F(ZoneTime, SetYearGivesTheSameWindowInAnyCallOrder) {
  struct Window {
    int32_t start, end;
  };
  constexpr int kFirst = 1, kLast = 138;  // tm_year of 1901 .. 2038
  std::vector<Window> by_zone(kZoneCount * (kLast + 1));
  for (int zone = 0; zone < kZoneCount; ++zone) {
    for (int tm_year = kFirst; tm_year <= kLast; ++tm_year) {
      zone_set_year(tm_year, static_cast<uint8_t>(zone));
      by_zone[zone * (kLast + 1) + tm_year] = {dst_start, dst_end};
    }
  }
  for (int tm_year = kLast; tm_year >= kFirst; --tm_year) {
    for (int zone = kZoneCount - 1; zone >= 0; --zone) {
      for (int again = 0; again < 2; ++again) {
        dst_start = dst_end = 12345;
        zone_set_year(tm_year, static_cast<uint8_t>(zone));
        const Window& want = by_zone[zone * (kLast + 1) + tm_year];
        ASSERT_EQ(dst_start, want.start) << "zone " << zone << " tm_year " << tm_year;
        ASSERT_EQ(dst_end, want.end) << "zone " << zone << " tm_year " << tm_year;
      }
    }
  }
  // Zones sharing pair D but not the bias get their own windows.
  zone_set_year(105, 4);
  const int32_t alaska = dst_start;
  zone_set_year(105, 5);
  EXPECT_EQ(alaska - dst_start, 3600);
}

TEST_F(ZoneTime, ZonesWithoutRulesKeepTheirBias) {
  for (uint8_t zone : {0, 1, 8, 18, 29, 32, 40, 42, 255}) {
    dst_start = dst_end = 12345;
    zone_set_year(105, zone);
    EXPECT_EQ(dst_start, 0) << int{zone};
    EXPECT_EQ(dst_end, 0) << int{zone};
    zone_set_bias(zone, utc(2005, 7, 1));
    EXPECT_EQ(zone_bias, zone_entry(zone).bias) << int{zone};
  }
}

TEST_F(ZoneTime, SetBiasWindowEdges) {
  const int32_t a = 1000000;
  const int32_t b = 2000000;
  const struct {
    int32_t start;
    int32_t end;
    int32_t t;
    bool daylight;
  } cases[] = {
      {a, b, a - 1, false}, {a, b, a, true},      {a, b, b - 1, true},    {a, b, b, false},
      {b, a, a - 1, true},  {b, a, a, false},     {b, a, b - 1, false},   {b, a, b, true},
      {0, b, a, false},     {a, 0, a + 1, false}, {-b, -a, -a - 1, true}, {a, a, a, false},
  };
  for (const auto& c : cases) {
    dst_start = c.start;
    dst_end = c.end;
    zone_set_bias(35, c.t);
    EXPECT_EQ(zone_bias, c.daylight ? 240 : 300)
        << "window " << c.start << ".." << c.end << " at " << c.t;
  }
}

TEST_F(ZoneTime, ConvertAcrossTransitions) {
  const struct {
    int32_t t;
    uint8_t zone;
    const char* local;
    int32_t bias;
  } cases[] = {
      {1112511599, 35, "2005-04-03 01:59:59", 300},
      {1112511600, 35, "2005-04-03 03:00:00", 240},
      {1130651999, 35, "2005-10-30 01:59:59", 240},
      {1130652000, 35, "2005-10-30 01:00:00", 300},
      {1111888799, 15, "2005-03-27 02:59:59", -60},
      {1111888800, 15, "2005-03-27 04:00:00", -120},
      {utc(2005, 7, 1, 12), 15, "2005-07-01 14:00:00", -120},
      {1130641199, 15, "2005-10-30 04:59:59", -120},
      {1130641200, 15, "2005-10-30 04:00:00", -60},
      {1105747200, 38, "2005-01-15 11:00:00", -660},
      {1111852799, 38, "2005-03-27 02:59:59", -660},
      {1111852800, 38, "2005-03-27 02:00:00", -600},
      {1130601599, 38, "2005-10-30 01:59:59", -600},
      {1130601600, 38, "2005-10-30 03:00:00", -660},
      {utc(2005, 4, 3, 15, 29, 59), 10, "2005-04-03 11:59:59", 210},
      {utc(2005, 4, 3, 15, 30), 10, "2005-04-03 13:00:00", 150},
      {utc(2005, 10, 30, 14, 29, 59), 10, "2005-10-30 11:59:59", 150},
      {utc(2005, 10, 30, 14, 30), 10, "2005-10-30 11:00:00", 210},
      {utc(2005, 3, 19, 13, 59, 59), 41, "2005-03-20 02:59:59", -780},
      {utc(2005, 3, 19, 14), 41, "2005-03-20 02:00:00", -720},
      {utc(2005, 10, 9, 3, 59, 59), 36, "2005-10-08 23:59:59", 240},
      {utc(2005, 10, 9, 4), 36, "2005-10-09 01:00:00", 180},
      {0, 35, "1969-12-31 19:00:00", 300},
      {utc(2005, 7, 1), 42, "2005-07-01 00:00:00", 0},   // past the table: UTC,
      {utc(2005, 7, 1), 255, "2005-07-01 00:00:00", 0},  // not zone 14's summer
  };
  for (const auto& c : cases) {
    const struct tm* tm = zone_convert(c.t, c.zone);
    EXPECT_EQ(tm, &zone_tm);
    EXPECT_EQ(show(*tm), c.local) << "zone " << int{c.zone} << " t " << c.t;
    EXPECT_EQ(zone_bias, c.bias) << "zone " << int{c.zone} << " t " << c.t;
  }
}

TEST_F(ZoneTime, ConvertFillsDayFields) {
  const struct tm* tm = zone_convert(0, 35);
  EXPECT_EQ(tm->tm_year, 69);
  EXPECT_EQ(tm->tm_yday, 364);
  EXPECT_EQ(tm->tm_wday, 3);
  EXPECT_EQ(tm->tm_isdst, 0);
}

TEST_F(ZoneTime, FirstCallOfARunUsesItsOwnWindow) {
  // January in the south is daylight time even though the year is looked up
  // with the initial UTC bias.
  const struct tm* tm = zone_convert(1105747200, 38);
  EXPECT_EQ(show(*tm), "2005-01-15 11:00:00");
  EXPECT_EQ(zone_bias, -660);
}

TEST_F(ZoneTime, ResultDoesNotDependOnThePreviousCall) {
  const int32_t instants[] = {
      utc(2004, 12, 31, 23, 30), utc(2005, 1, 1, 0, 30), utc(2005, 1, 1, 13),
      utc(2004, 12, 31, 11),     utc(2005, 3, 27, 2),    utc(2005, 10, 29, 16),
  };
  for (int32_t t : instants) {
    for (uint8_t zone : {0, 1, 14, 32, 35, 38, 41}) {
      SetUp();
      const std::string fresh = show(*zone_convert(t, zone));
      for (uint8_t previous : {1, 32, 38, 41}) {
        zone_convert(t - 40000, previous);
        EXPECT_EQ(show(*zone_convert(t, zone)), fresh)
            << "zone " << int{zone} << " after zone " << int{previous} << " t " << t;
      }
    }
  }
}

TEST_F(ZoneTime, LocaltimeAtKnownValues) {
  const struct {
    int32_t t;
    const char* local;
    int mon;
    int yday;
    int wday;
  } cases[] = {
      {-1, "1969-12-31 23:59:59", 11, 364, 3},
      {951782400, "2000-02-29 00:00:00", 1, 59, 2},
      {INT32_MIN, "1901-12-13 20:45:52", 11, 346, 5},
      {INT32_MAX, "2038-01-19 03:14:07", 0, 18, 2},
  };
  for (const auto& c : cases) {
    zone_bias = 0;
    const struct tm* tm = zone_localtime(&c.t);
    EXPECT_EQ(tm, &zone_tm);
    EXPECT_EQ(show(*tm), c.local);
    EXPECT_EQ(tm->tm_mon, c.mon) << c.local;
    EXPECT_EQ(tm->tm_yday, c.yday) << c.local;
    EXPECT_EQ(tm->tm_wday, c.wday) << c.local;
  }
}

TEST_F(ZoneTime, LocalValueWrapsAtTheEndsOfTheRange) {
  const struct {
    int32_t t;
    uint8_t zone;
    const char* local;
  } cases[] = {
      {INT32_MAX, 32, "1901-12-14 09:45:51"},          // +13:00 runs past the end
      {INT32_MIN, 1, "2038-01-18 15:14:08"},           // -12:00 runs past the start
      {INT32_MAX - 46800, 32, "2038-01-19 03:14:07"},  // the last value that does not
  };
  for (const auto& c : cases) {
    EXPECT_EQ(show(*zone_convert(c.t, c.zone)), c.local) << "zone " << int{c.zone};
  }
}

TEST_F(ZoneTime, EveryZoneGivesValidDatesNearTheEndsOfTheRange) {
  for (int zone = 0; zone < kZoneCount; ++zone) {
    for (int64_t k = 0; k < 16 * 3600; k += 599) {
      for (int32_t t : {static_cast<int32_t>(INT32_MIN + k), static_cast<int32_t>(INT32_MAX - k)}) {
        SCOPED_TRACE("zone " + std::to_string(zone) + " t " + std::to_string(t));
        expect_valid_date(*zone_convert(t, static_cast<uint8_t>(zone)));
        if (HasFailure()) return;
      }
    }
  }
}

TEST(SplitTime, EveryDayOfTheRangeMatchesTheCivilCalendar) {
  // One instant per day, at a second of the day that moves through the clock.
  const int64_t first_day = (int64_t{INT32_MIN} - 86399) / 86400;
  const int64_t last_day = int64_t{INT32_MAX} / 86400;
  int64_t y = 1901, m = 12, d = 13;  // the civil date of first_day, walked forward
  ASSERT_EQ(days_from_civil(y, m, d), first_day);
  int64_t wday = ((first_day + 4) % 7 + 7) % 7;
  for (int64_t day = first_day; day <= last_day; ++day) {
    const int64_t second = ((day * 7919) % 86400 + 86400) % 86400;
    const int64_t t = day * 86400 + second;
    if (t >= INT32_MIN && t <= INT32_MAX) {
      struct tm tm;
      std::memset(&tm, 0x5a, sizeof tm);
      split_time(static_cast<int32_t>(t), &tm);
      const bool ok = tm.tm_year + 1900 == y && tm.tm_mon + 1 == m && tm.tm_mday == d &&
                      tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec == second &&
                      tm.tm_wday == wday && tm.tm_isdst == 0;
      ASSERT_TRUE(ok) << "day " << day << ": got " << show(tm) << " wday " << tm.tm_wday;
      ASSERT_NO_FATAL_FAILURE(expect_valid_date(tm));
    }
    wday = (wday + 1) % 7;
    if (++d > month_days[is_leap(static_cast<int>(y))][m - 1]) {
      d = 1;
      if (++m > 12) {
        m = 1;
        ++y;
      }
    }
  }
}

TEST(SplitTime, MatchesGmtimeAcrossTheRange) {
  for (int64_t t = INT32_MIN; t <= INT32_MAX; t += 4999) {
    const time_t wide = static_cast<time_t>(t);
    struct tm want;
    ASSERT_NE(gmtime_r(&wide, &want), nullptr);
    struct tm got;
    split_time(static_cast<int32_t>(t), &got);
    ASSERT_EQ(show(got), show(want)) << t;
    ASSERT_EQ(got.tm_wday, want.tm_wday) << t;
    ASSERT_EQ(got.tm_yday, want.tm_yday) << t;
  }
}

TEST_F(ZoneTime, SplitTimeLeavesTheZoneStateAlone) {
  zone_convert(utc(2005, 7, 1), 15);
  const int32_t bias = zone_bias, start = dst_start, end = dst_end;
  const std::string converted = show(zone_tm);
  struct tm tm;
  split_time(-86400 * 365, &tm);
  EXPECT_EQ(show(tm), "1969-01-01 00:00:00");
  EXPECT_EQ(zone_bias, bias);
  EXPECT_EQ(dst_start, start);
  EXPECT_EQ(dst_end, end);
  EXPECT_EQ(show(zone_tm), converted);
}

TEST_F(ZoneTime, ZoneZeroIsGmtimeForEveryNonNegativeValue) {
  for (int64_t t = 0; t <= INT32_MAX; t += 7919) {
    const time_t wide = static_cast<time_t>(t);
    struct tm want;
    ASSERT_NE(gmtime_r(&wide, &want), nullptr);
    const struct tm* got = zone_convert(static_cast<int32_t>(t), 0);
    ASSERT_EQ(show(*got), show(want)) << t;
  }
}

}  // namespace

TEST_F(ZoneTime, EnginesKeepTheirOwnState) {
  // Two walks convert for boxes in different zones at the same time, on two
  // threads; each must get what one engine gives alone.
  std::vector<int32_t> instants;
  for (int32_t t = utc(2005, 3, 20); t < utc(2005, 4, 10); t += 3 * 3600 + 17)
    instants.push_back(t);
  auto expected = [&](uint8_t zone) {
    zone_engine alone;
    std::vector<std::string> out;
    for (int32_t t : instants) out.push_back(show(*alone.zone_convert(t, zone)));
    return out;
  };
  const uint8_t zones[2] = {35, 38};
  const std::vector<std::string> want[2] = {expected(zones[0]), expected(zones[1])};
  std::vector<std::string> got[2];
  std::vector<std::thread> walks;
  for (int w = 0; w < 2; ++w) {
    walks.emplace_back([&, w] {
      zone_engine mine;
      for (int32_t t : instants) got[w].push_back(show(*mine.zone_convert(t, zones[w])));
    });
  }
  for (std::thread& t : walks) t.join();
  EXPECT_EQ(got[0], want[0]);
  EXPECT_EQ(got[1], want[1]);
  EXPECT_EQ(zone_bias, 0);  // the process-wide engine was not used
}
