// The POSIX TZ text that means the same as one of the box's zones, so that the
// C library's own time-zone rules can be set beside the zone table (tests and
// benchmarks only; the program never uses the C library's zones).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "zonetime/zone_table.h"

// [-]h[:mm] from minutes.
inline std::string posix_tz_minutes(int32_t minutes) {
  std::string sign = minutes < 0 ? "-" : "";
  const int32_t m = minutes < 0 ? -minutes : minutes;
  char text[32];
  if (m % 60 == 0) {
    std::snprintf(text, sizeof text, "%s%d", sign.c_str(), static_cast<int>(m / 60));
  } else {
    std::snprintf(text, sizeof text, "%s%d:%02d", sign.c_str(), static_cast<int>(m / 60),
                  static_cast<int>(m % 60));
  }
  return text;
}

// One transition: the date part, then the local time of day it happens at.
inline std::string posix_tz_rule(const DstRule& rule, int32_t local_minutes) {
  char date[48];
  switch (rule.kind) {
    case DST_JULIAN_DAY:
      std::snprintf(date, sizeof date, "J%d", static_cast<int>(rule.day));
      break;
    case DST_YEAR_DAY:
      std::snprintf(date, sizeof date, "%d", static_cast<int>(rule.day));
      break;
    default:
      std::snprintf(date, sizeof date, "M%d.%d.%d", static_cast<int>(rule.month),
                    static_cast<int>(rule.week), static_cast<int>(rule.day));
      break;
  }
  return std::string(date) + "/" + posix_tz_minutes(local_minutes);
}

// POSIX offsets, like the bias, are positive west of Greenwich; daylight time
// is one hour ahead, which is the POSIX default. POSIX gives the start in
// local standard time and the end in local daylight time; a UTC pair is moved
// there (its dates stay put, as every UTC rule lands between 01:00 and 07:00
// local time).
inline std::string zone_posix_tz(uint8_t zone) {
  const TimeZoneEntry& entry = zone_entry(zone);
  std::string tz = "STD" + posix_tz_minutes(entry.bias);
  if (entry.dst == nullptr) return tz;
  const DstRulePair& pair = *entry.dst;
  int32_t start = pair.start.minutes;
  int32_t end = pair.end.minutes;
  if (pair.end.wallClock != 1) {
    start -= entry.bias;
    end -= entry.bias - 60;
  }
  return tz + "DST," + posix_tz_rule(pair.start, start) + "," + posix_tz_rule(pair.end, end);
}
