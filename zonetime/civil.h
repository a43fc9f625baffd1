// Proleptic Gregorian calendar arithmetic in 64 bits, exact for every date
// a 32-bit time or a history row can name.
#pragma once

#include <cstdint>

namespace civil {

// a / b rounded down (b > 0 or b < 0 alike).
inline int64_t floor_div(int64_t a, int64_t b) {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

// Whether year y has a 29 February; without branches, as years come in no
// predictable order.
inline bool is_leap(int64_t y) { return (y % 4 == 0) & ((y % 100 != 0) | (y % 400 == 0)); }

// The days of month m (1..12) of year y.
inline int days_in_month(int64_t y, int m) {
  static constexpr int8_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return kDays[m - 1] + (m == 2 && is_leap(y));
}

// Days since 1970-01-01 of year y, month m (1..12), day d.
inline int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = floor_div(y, 400);
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

}  // namespace civil
