// Decimal digits for the text outputs, written without printf: the report
// lines and the CSV rows are formatted by the million.
#pragma once

#include <cstdint>
#include <cstring>

namespace decimal {

// "00" "01" ... "99": two digits per lookup.
struct TwoDigits {
  char d[200];
  constexpr TwoDigits() : d() {
    for (int i = 0; i < 100; ++i) {
      d[2 * i] = static_cast<char>('0' + i / 10);
      d[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
  }
};
constexpr TwoDigits kTwoDigits;

inline char* put2(char* p, unsigned v) {
  std::memcpy(p, kTwoDigits.d + 2 * v, 2);
  return p + 2;
}

inline int digit_count(uint64_t v) {
  int n = 1;
  for (; v >= 10000; v /= 10000) n += 4;
  return n + (v >= 10) + (v >= 100) + (v >= 1000);
}

// Decimal digits of v, as "%llu" prints them, written back to front in place.
inline char* put_uint(char* p, uint64_t v) {
  char* const end = p + digit_count(v);
  char* b = end;
  while (v >= 100) {
    b -= 2;
    std::memcpy(b, kTwoDigits.d + 2 * (v % 100), 2);
    v /= 100;
  }
  if (v >= 10) {
    std::memcpy(b - 2, kTwoDigits.d + 2 * v, 2);
  } else {
    b[-1] = static_cast<char>('0' + v);
  }
  return end;
}

}  // namespace decimal
