// The zone engine against an engine we did not write: the C library's POSIX
// TZ rules, set to the same bias and rule pair for each zone.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "zonetime/zone_posix_tz.h"
#include "zonetime/zone_time.h"

namespace {

constexpr int32_t k1902 = -2145916800;  // 1902-01-01 00:00:00 UTC
constexpr int32_t k1971 = 31536000;     // 1971-01-01 00:00:00 UTC
constexpr int32_t k2038 = 2145916800;   // 2038-01-01 00:00:00 UTC
// 400 Gregorian years (146097 days, a whole number of weeks): the same
// calendar, leap years and weekdays.
constexpr int64_t kFourCenturies = 12622780800;

void set_tz(const char* tz) {
  if (tz == nullptr) {
    unsetenv("TZ");
  } else {
    setenv("TZ", tz, 1);
  }
  tzset();
}

bool libc_direct(int64_t t, struct tm* out) {
  const time_t wide = static_cast<time_t>(t);
  return localtime_r(&wide, out) != nullptr;
}

// glibc evaluates POSIX rules for years before 1971 as if the year were
// 1970, so those instants are asked about 400 years later.
bool libc_local(int32_t t, struct tm* out) {
  if (t >= k1971) return libc_direct(t, out);
  if (!libc_direct(t + kFourCenturies, out)) return false;
  out->tm_year -= 400;
  return true;
}

bool same_fields(const struct tm& a, const struct tm& b) {
  return a.tm_year == b.tm_year && a.tm_mon == b.tm_mon && a.tm_mday == b.tm_mday &&
         a.tm_hour == b.tm_hour && a.tm_min == b.tm_min && a.tm_sec == b.tm_sec &&
         a.tm_wday == b.tm_wday && a.tm_yday == b.tm_yday;
}

std::string show(const struct tm& tm) {
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d wday %d yday %d",
                tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                tm.tm_wday, tm.tm_yday);
  return text;
}

// Whether the C library applies POSIX rules at all (with 64-bit time).
bool libc_has_posix_rules() {
  if (sizeof(time_t) < 8) return false;
  set_tz("STD5DST,M4.1.0/2,M10.5.0/2");
  struct tm before, after;
  const bool ok = libc_direct(1112511599, &before) && libc_direct(1112511600, &after) &&
                  before.tm_hour == 1 && before.tm_isdst == 0 && after.tm_hour == 3 &&
                  after.tm_isdst == 1;
  return ok;
}

uint64_t splitmix64(uint64_t& state) {
  uint64_t z = (state += 0x9e3779b97f4a7c15u);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
  return z ^ (z >> 31);
}

// The instants our engine says daylight time starts or ends at, one year at
// a time. Checking one second before and at each catches any misplaced
// change: if the C library changes elsewhere, the two disagree at one of them.
std::vector<int32_t> our_transitions(uint8_t zone) {
  std::vector<int32_t> out;
  if (zone_entry(zone).dst == nullptr) return out;
  for (int year = 1902; year <= 2037; ++year) {
    zone_set_year(year - 1900, zone);
    out.push_back(dst_start);
    out.push_back(dst_end);
  }
  return out;
}

class SavedTz : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    had_tz_ = tz != nullptr;
    if (had_tz_) saved_tz_ = tz;
    if (!libc_has_posix_rules()) GTEST_SKIP() << "the C library does not apply POSIX TZ rules";
  }
  void TearDown() override { set_tz(had_tz_ ? saved_tz_.c_str() : nullptr); }

 private:
  bool had_tz_ = false;
  std::string saved_tz_;
};

using LibcShift = SavedTz;

// The detour for early years only holds if the C library reads the same
// rules 400 years on: shown on instants it handles directly.
TEST_F(LibcShift, FourCenturiesLaterReadsTheSame) {
  uint64_t seed = 1;
  int compared = 0;
  for (int zone = 0; zone < kZoneCount; ++zone) {
    if (time_zones[zone].dst == nullptr && zone != 0) continue;
    const std::string tz = zone_posix_tz(static_cast<uint8_t>(zone));
    set_tz(tz.c_str());
    std::vector<int32_t> instants;
    for (int i = 0; i < 4000; ++i) {
      instants.push_back(static_cast<int32_t>(k1971 + splitmix64(seed) % (k2038 - int64_t{k1971})));
    }
    for (int32_t t : our_transitions(static_cast<uint8_t>(zone))) {
      if (t - 1 >= k1971) {
        instants.push_back(t - 1);
        instants.push_back(t);
      }
    }
    for (int32_t t : instants) {
      struct tm direct, shifted;
      ASSERT_TRUE(libc_direct(t, &direct));
      ASSERT_TRUE(libc_direct(t + kFourCenturies, &shifted));
      shifted.tm_year -= 400;
      ASSERT_TRUE(same_fields(direct, shifted) && direct.tm_isdst == shifted.tm_isdst)
          << tz << " at " << t << ": " << show(direct) << " vs " << show(shifted);
      ++compared;
    }
  }
  EXPECT_GT(compared, 60000);
}

class LibcZone : public SavedTz, public ::testing::WithParamInterface<int> {};

TEST_P(LibcZone, AgreesOverTheWholeRange) {
  const uint8_t zone = static_cast<uint8_t>(GetParam());
  const std::string tz = zone_posix_tz(zone);
  set_tz(tz.c_str());

  std::vector<int32_t> instants;
  // Spread at random and on an even grid over the range.
  constexpr int kSpread = 25000;
  uint64_t seed = 0x5eed0000u + zone;
  const int64_t span = int64_t{k2038} - k1902;
  for (int i = 0; i < kSpread; ++i) {
    instants.push_back(static_cast<int32_t>(k1902 + splitmix64(seed) % span));
    instants.push_back(static_cast<int32_t>(k1902 + 7 + span * i / kSpread));
  }
  // Either side of each turn of the year, where the year is looked up with
  // the previous call's bias.
  for (int year = 1902; year <= 2038; ++year) {
    const int32_t start = year_start_time(year);
    for (int hours = -14; hours <= 14; ++hours) {
      const int64_t t = int64_t{start} + hours * 3600 + (hours < 0 ? 1799 : 0);
      if (t >= k1902 && t < k2038) instants.push_back(static_cast<int32_t>(t));
    }
  }
  // The partial years 1901 and 2038, whose rule instants wrap around, as far
  // as local time stays inside the 32-bit range.
  constexpr int64_t kMargin = 14 * 3600;
  for (int64_t t = int64_t{INT32_MIN} + kMargin; t < k1902; t += 3607) {
    instants.push_back(static_cast<int32_t>(t));
  }
  for (int64_t t = k2038; t <= int64_t{INT32_MAX} - kMargin; t += 3607) {
    instants.push_back(static_cast<int32_t>(t));
  }
  const std::vector<int32_t> transitions = our_transitions(zone);
  for (int32_t t : transitions) {
    instants.push_back(t - 1);
    instants.push_back(t);
  }

  int mismatches = 0;
  for (int32_t t : instants) {
    const struct tm ours = *zone_convert(t, zone);
    struct tm theirs;
    ASSERT_TRUE(libc_local(t, &theirs)) << t;
    if (!same_fields(ours, theirs) && ++mismatches <= 5) {
      ADD_FAILURE() << tz << " at " << t << ": ours " << show(ours) << ", C library "
                    << show(theirs);
    }
  }
  EXPECT_EQ(mismatches, 0) << "of " << instants.size() << " instants";

  // Each of our transitions is a change of daylight time for the C library too.
  for (int32_t t : transitions) {
    struct tm before, at;
    ASSERT_TRUE(libc_local(t - 1, &before));
    ASSERT_TRUE(libc_local(t, &at));
    EXPECT_NE(before.tm_isdst, at.tm_isdst) << tz << " at " << t;
  }
  if (zone_entry(zone).dst != nullptr) {
    EXPECT_EQ(transitions.size(), 2u * 136);
  }
}

INSTANTIATE_TEST_SUITE_P(AllZones, LibcZone, ::testing::Range(0, kZoneCount),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return "zone_" + std::to_string(info.param);
                         });

}  // namespace
