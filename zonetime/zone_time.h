// Turns a box timestamp (signed 32-bit seconds since 1970, UTC) into the date
// and clock time of one of the box's zones, daylight saving applied. The
// state (bias, daylight window, result) is a zone_engine's and carries over
// between its calls; each walk owns one, and the free functions work on one
// process-wide engine.
#pragma once

#include <cstdint>
#include <ctime>

#include "zonetime/zone_table.h"

class zone_engine {
 public:
  struct tm* zone_convert(int32_t t, uint8_t zone);
  struct tm* zone_localtime(const int32_t* t);
  void zone_set_year(int tmYear, uint8_t zone);
  void zone_set_bias(uint8_t zone, int32_t t);

  int32_t zone_bias = 0;  // minutes; local = UTC - zone_bias
  int32_t dst_start = 0;  // 0: no daylight saving in the window
  int32_t dst_end = 0;
  struct tm zone_tm = {};
};

// The engine behind the free functions and the names below.
zone_engine& process_zones();
extern int32_t& zone_bias;
extern int32_t& dst_start;
extern int32_t& dst_end;
extern struct tm& zone_tm;

struct tm* zone_convert(int32_t t, uint8_t zone);
struct tm* zone_localtime(const int32_t* t);
void zone_set_year(int tmYear, uint8_t zone);
void zone_set_bias(uint8_t zone, int32_t t);
// The window zone_set_year would set for that year, leaving dst_start and
// dst_end alone; and whether t lies in such a window (never when either end
// is 0).
void zone_window(int tmYear, uint8_t zone, int32_t* start, int32_t* end);
bool zone_in_daylight(int32_t start, int32_t end, int32_t t);
// A month-week-day rule needs month 1..12, as every rule of the table has.
int32_t rule_instant(int32_t yearStart, int year, const DstRule& rule, int32_t biasMinutes);
int32_t year_start_time(int year);

// Splits a local time value into calendar fields (proleptic Gregorian, valid
// for every 32-bit value). zone_localtime uses it; UTC output uses it with
// t itself, so it never fails and leaves the zone state alone.
void split_time(int32_t local, struct tm* out);
