#include "zonetime/sample_clock.h"

#include <algorithm>
#include <ctime>

#include "zonetime/civil.h"
#include "zonetime/zone_table.h"
#include "zonetime/zone_time.h"

namespace {

constexpr uint32_t kSecondsPerDay = 86400;
constexpr int64_t kPastRange = int64_t{1} << 31;  // first value past int32_t

// 1 January of `year`, 00:00:00, in seconds from 1970, not wrapped.
int64_t year_start(int year) { return civil::days_from_civil(year, 1, 1) * kSecondsPerDay; }

}  // namespace

sample_clock::sample_clock(int32_t first, uint32_t step, bool zone_time, uint8_t zone,
                           zone_engine* zones)
    : t_(first),
      step_(step),
      zone_time_(zone_time),
      zone_(zone),
      zones_(zones != nullptr ? zones : &process_zones()) {
  // Steps of a day or more convert every sample in full.
  const uint32_t s = step < kSecondsPerDay ? step : 0;
  step_h_ = static_cast<int>(s / 3600);
  step_m_ = static_cast<int>(s / 60 % 60);
  step_s_ = static_cast<int>(s % 60);
  seed();
}

void sample_clock::seed() {
  struct tm tm;
  if (zone_time_) {
    tm = *zones_->zone_convert(t_, zone_);
    bias = zones_->zone_bias;
  } else {
    split_time(t_, &tm);
    bias = 0;
  }
  year = tm.tm_year + 1900;
  month = tm.tm_mon + 1;
  mday = tm.tm_mday;
  hour = tm.tm_hour;
  min = tm.tm_min;
  sec = tm.tm_sec;
  date_changed = true;
  seeded_here_ = true;
  if (step_ >= kSecondsPerDay) {
    left_ = 0;
    return;
  }

  // The local value of this sample, as the conversion split it.
  const int32_t local =
      static_cast<int32_t>(static_cast<uint32_t>(t_) - static_cast<uint32_t>(bias) * 60u);
  // Neither t nor its local value may wrap, nor the local year end: the
  // next conversion would pick another year's window.
  left_ = std::min(kPastRange - t_, std::min(year_start(year + 1), kPastRange) - local);
  if (zone_time_) {
    // The next conversion starts from this bias, so it takes this year's
    // window; within it the offset holds until t reaches either end.
    int32_t start, end;
    zone_window(year - 1900, zone_, &start, &end);
    const bool daylight = zone_in_daylight(start, end, t_);
    if (zone_entry(zone_).bias - (daylight ? 60 : 0) != bias) {
      left_ = 0;  // converted with another year's window: no stretch yet
    } else if (start != 0 && end != 0) {
      for (const int32_t edge : {start, end})
        if (edge > t_) left_ = std::min<int64_t>(left_, int64_t{edge} - t_);
    }
  }
}

void sample_clock::next_day() {
  if (++mday <= civil::days_in_month(year, month)) return;
  mday = 1;
  if (++month <= 12) return;
  // The stretch ends with the year, so this is not reached; kept whole anyway.
  month = 1;
  ++year;
}

void sample_clock::finish() {
  if (zone_time_ && !seeded_here_) zones_->zone_convert(t_, zone_);
}
