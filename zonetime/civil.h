// Proleptic Gregorian calendar arithmetic in 64 bits, exact for every date
// a 32-bit time or a history row can name.
#pragma once

#include <cstdint>

namespace civil {

// a / b rounded down (b > 0 or b < 0 alike).
inline int64_t floor_div(int64_t a, int64_t b) {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
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
