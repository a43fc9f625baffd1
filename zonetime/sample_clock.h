// The calendar fields of a run of sample times first, first + step, ...
// (32-bit seconds, wrapping like the box's clock), in UTC or in a box zone,
// exactly as split_time or zone_convert give them one at a time, but with a
// calendar computation only where the stretch of equal offset ends: at a
// daylight-saving change, at the end of the year, where the 32-bit range
// wraps. In between, a sample costs a few additions.
#pragma once

#include <cstdint>

class zone_engine;

class sample_clock {
 public:
  // zone_time false: UTC, as split_time. True: as zones->zone_convert(t,
  // zone) called once per sample in order, which also leaves that engine's
  // state as those calls would once finish() has run. No engine: the
  // process-wide one.
  sample_clock(int32_t first, uint32_t step, bool zone_time, uint8_t zone,
               zone_engine* zones = nullptr);

  // To the next sample time.
  void next() {
    t_ = static_cast<int32_t>(static_cast<uint32_t>(t_) + step_);
    if (step_ >= left_) {
      seed();
      return;
    }
    left_ -= step_;
    seeded_here_ = false;
    sec += step_s_;
    min += step_m_;
    hour += step_h_;
    if (sec >= 60) {
      sec -= 60;
      ++min;
    }
    if (min >= 60) {
      min -= 60;
      ++hour;
    }
    date_changed = hour >= 24;
    if (date_changed) {
      hour -= 24;
      next_day();
    }
  }
  // Leaves the zone state as the last sample's own conversion would.
  void finish();

  int32_t time() const { return t_; }

  // The current sample's fields: month 1..12, full year; the offset from
  // UTC in minutes (local = UTC - bias; 0 in UTC).
  int year = 0, month = 0, mday = 0, hour = 0, min = 0, sec = 0;
  int32_t bias = 0;
  // False when year, month and day are the previous sample's; true at the
  // first sample, after a full conversion and when a day ended.
  bool date_changed = true;

 private:
  void seed();
  void next_day();

  int32_t t_;
  uint32_t step_;
  int step_h_, step_m_, step_s_;
  bool zone_time_;
  uint8_t zone_;
  zone_engine* zones_;
  bool seeded_here_ = true;  // the current sample was converted in full
  // Seconds from the current sample to the end of its stretch; a step of
  // this or more converts in full.
  int64_t left_ = 0;
};
