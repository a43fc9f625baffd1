// What a report must hold, worked out here from the sensor's data alone, for
// comparing the real program's files byte for byte. UTC times only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ReportSensor {
  std::string address;
  std::string system_name, description, unit;
  int port = 1;  // as shown: 1 to 8
  int type = 1;
  int32_t device_time = 0, last_log_time = 0;
  int interval = 10;
  int avg_high = 0, avg_low = 0, inst_high = 0, inst_low = 0;
  std::vector<int32_t> samples;  // oldest first
};

struct CivilTime {
  int64_t year;
  int month, day, hour, minute, second;
};

// Proleptic Gregorian UTC fields of a 32-bit time value.
CivilTime utc_fields(int32_t t);

// A value in tenths as "whole.tenth", negatives as "-" and the magnitude.
std::string tenths(int64_t v);

// The average of the samples to one decimal, exact halves away from zero;
// tenths types divide by ten first.
std::string average_text(const std::vector<int32_t>& samples, bool tenths_type);

std::string expected_utc_report(const ReportSensor& s);

// The samples of the box file's `generate N ramp START STEP` and
// `generate N wave MID AMP PERIOD` (a triangle wave), worked out on their own.
std::vector<int32_t> ramp(int n, int32_t start, int32_t step);
std::vector<int32_t> wave(int n, int mid, int amp, int period);
