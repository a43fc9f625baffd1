#include "zonetime/zone_table.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "zonetime/zone_posix_tz.h"

namespace {

// The offset that a display name states, in minutes east of Greenwich:
// "(UTC)" and "(GMT," are 0, "(GMT-03:30" is -210.
int name_offset(const char* name) {
  int hours = 0, minutes = 0;
  char sign = 0;
  if (std::sscanf(name, "(GMT%c%d:%d", &sign, &hours, &minutes) == 3 &&
      (sign == '+' || sign == '-')) {
    return (sign == '-' ? -1 : 1) * (hours * 60 + minutes);
  }
  return 0;
}

TEST(ZoneTable, NamesStateTheBiasAndWhetherDaylightSavingIsObserved) {
  for (int zone = 0; zone < kZoneCount; ++zone) {
    const char* name = zone_names[zone];
    const TimeZoneEntry& entry = time_zones[zone];
    EXPECT_EQ(name_offset(name), -entry.bias) << name;
    EXPECT_EQ(std::strstr(name, ", DST observed") != nullptr, entry.dst != nullptr) << name;
  }
}

// Each zone as the POSIX TZ text that means it, written out by hand from the
// zone list: catches a wrong bias, pair or rule anywhere in the table. UTC
// pairs appear in local time (start standard, end daylight).
TEST(ZoneTable, EveryZoneReadsAsItsPosixRule) {
  const char* const expected[kZoneCount] = {
      "STD0",
      "STD12",
      "STD11",
      "STD10",
      "STD9DST,M4.1.0/2,M10.5.0/2",
      "STD8DST,M4.1.0/2,M10.5.0/2",
      "STD7",
      "STD6",
      "STD5",
      "STD4",
      "STD3:30DST,M4.1.0/12,M10.5.0/12",
      "STD3",
      "STD2",
      "STD1",
      "STD0DST,M3.5.0/1,M10.5.0/3",
      "STD-1DST,M3.5.0/3,M10.5.0/5",
      "STD-2DST,M3.5.0/5,M10.5.0/7",
      "STD-3",
      "STD-3:30",
      "STD-4",
      "STD-4:30",
      "STD-5",
      "STD-5:30",
      "STD-6",
      "STD-6:30",
      "STD-7",
      "STD-8",
      "STD-9",
      "STD-9:30",
      "STD-10",
      "STD-11",
      "STD-12",
      "STD-13",
      "STD7DST,M4.1.0/2,M10.5.0/2",
      "STD6DST,M4.1.0/2,M10.5.0/2",
      "STD5DST,M4.1.0/2,M10.5.0/2",
      "STD4DST,M10.2.0/0,M3.2.0/0",
      "STD-9:30DST,M10.1.0/2,M3.5.0/3",
      "STD-10DST,M10.5.0/2,M3.5.0/3",
      "STD-10DST,M10.1.0/2,M3.5.0/3",
      "STD-2",
      "STD-12DST,M10.1.0/2,M3.3.0/3",
  };
  for (int zone = 0; zone < kZoneCount; ++zone) {
    EXPECT_EQ(zone_posix_tz(static_cast<uint8_t>(zone)), expected[zone]) << "zone " << zone;
  }
}

TEST(ZoneTable, RulePairsAreSharedAndWellFormed) {
  EXPECT_EQ(time_zones[4].dst, time_zones[5].dst);
  for (int zone : {33, 34, 35}) EXPECT_EQ(time_zones[zone].dst, time_zones[4].dst) << zone;
  EXPECT_EQ(time_zones[37].dst, time_zones[39].dst);
  EXPECT_NE(time_zones[38].dst, time_zones[39].dst);

  std::set<const DstRulePair*> pairs;
  for (const TimeZoneEntry& entry : time_zones) {
    if (entry.dst == nullptr) continue;
    pairs.insert(entry.dst);
    for (const DstRule* rule : {&entry.dst->start, &entry.dst->end}) {
      EXPECT_EQ(rule->kind, DST_MONTH_WEEK_DAY);
      EXPECT_EQ(rule->day, 0);
      EXPECT_GE(rule->week, 1);
      EXPECT_LE(rule->week, 5);
      EXPECT_GE(rule->month, 1);
      EXPECT_LE(rule->month, 12);
    }
    EXPECT_EQ(entry.dst->start.wallClock, entry.dst->end.wallClock);
  }
  EXPECT_EQ(pairs.size(), 9u);  // A to I
}

TEST(ZoneTable, DocumentedEntries) {
  EXPECT_STREQ(zone_names[0], "(UTC) Coordinated Universal Time");
  EXPECT_EQ(time_zones[0].bias, 0);
  EXPECT_EQ(time_zones[0].dst, nullptr);
  EXPECT_STREQ(zone_names[41], "(GMT+12:00, DST observed) Auckland, Wellington");
  EXPECT_EQ(time_zones[41].bias, -720);
  ASSERT_NE(time_zones[41].dst, nullptr);
  EXPECT_EQ(time_zones[41].dst->end.week, 3);
  // Same bias, different rules.
  EXPECT_EQ(time_zones[8].bias, time_zones[35].bias);
  EXPECT_EQ(time_zones[8].dst, nullptr);
  EXPECT_NE(time_zones[35].dst, nullptr);
  for (int zone : {29, 38, 39}) EXPECT_EQ(time_zones[zone].bias, -600) << zone;
  EXPECT_EQ(time_zones[29].dst, nullptr);
}

TEST(ZoneTable, MonthTablesAgree) {
  for (int leap = 0; leap < 2; ++leap) {
    int sum = 0;
    for (int month = 0; month < 12; ++month) {
      EXPECT_EQ(month_start_days[leap][month], sum) << leap << "/" << month;
      sum += month_days[leap][month];
    }
    EXPECT_EQ(month_start_days[leap][12], sum);
    EXPECT_EQ(sum, 365 + leap);
    EXPECT_EQ(month_days[leap][1], 28 + leap);
  }
  EXPECT_EQ(month_start_days[1][2], 60);
  EXPECT_EQ(month_start_days[0][12], 365);
}

TEST(ZoneLookup, IndexesPastTheTableAreUtcForNameAndRulesAlike) {
  for (int zone = 0; zone < 256; ++zone) {
    const uint8_t byte = static_cast<uint8_t>(zone);
    const int expected = zone < kZoneCount ? zone : 0;
    EXPECT_EQ(zone_index(byte), expected) << zone;
    EXPECT_EQ(&zone_entry(byte), &time_zones[expected]) << zone;
    EXPECT_EQ(zone_name(byte), zone_names[expected]) << zone;
  }
}

}  // namespace
