// The box's 42 time zones with their daylight-saving rule pairs, and the
// calendar tables the conversion reads. Constant data.
#pragma once

#include <cstdint>

enum : uint8_t {
  DST_JULIAN_DAY = 0,      // day 1..365, 29 February never counted
  DST_YEAR_DAY = 1,        // day 0..365, 29 February counted
  DST_MONTH_WEEK_DAY = 2,  // weekday `day` of week 1..5 (5 = last) of `month`
};

struct DstRule {
  uint8_t kind;
  uint8_t wallClock;  // 1: minutes are local wall-clock time; else UTC
  int32_t day;
  int32_t week;
  int32_t month;
  int32_t minutes;
};

struct DstRulePair {
  DstRule start;
  DstRule end;
};

struct TimeZoneEntry {
  int32_t bias;  // minutes; UTC = local standard time + bias
  const DstRulePair* dst;
};

constexpr int kZoneCount = 42;
extern const TimeZoneEntry time_zones[kZoneCount];
extern const char* const zone_names[kZoneCount];

extern const int32_t month_days[2][12];
extern const uint16_t month_start_days[2][13];

// The one lookup for a zone byte: indexes past the table mean zone 0 (UTC),
// for the display name and the conversion alike.
inline uint8_t zone_index(uint8_t zone) { return zone < kZoneCount ? zone : 0; }
inline const TimeZoneEntry& zone_entry(uint8_t zone) { return time_zones[zone_index(zone)]; }
inline const char* zone_name(uint8_t zone) { return zone_names[zone_index(zone)]; }
