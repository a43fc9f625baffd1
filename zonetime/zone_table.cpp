#include "zonetime/zone_table.h"

namespace {

// Every rule is "weekday 0 (Sunday) of week N of a month"; week 5 is the last.
constexpr DstRule sunday_rule(uint8_t wall_clock, int32_t week, int32_t month, int32_t minutes) {
  return DstRule{DST_MONTH_WEEK_DAY, wall_clock, 0, week, month, minutes};
}

// A to C: times in UTC, the same instant for every zone that uses them.
constexpr DstRulePair kPairA{sunday_rule(0, 5, 3, 60), sunday_rule(0, 5, 10, 120)};
constexpr DstRulePair kPairB{sunday_rule(0, 5, 3, 120), sunday_rule(0, 5, 10, 180)};
constexpr DstRulePair kPairC{sunday_rule(0, 5, 3, 180), sunday_rule(0, 5, 10, 240)};
// D to I: local wall-clock times. F to I run across the turn of the year.
constexpr DstRulePair kPairD{sunday_rule(1, 1, 4, 120), sunday_rule(1, 5, 10, 120)};
constexpr DstRulePair kPairE{sunday_rule(1, 1, 4, 720), sunday_rule(1, 5, 10, 720)};
constexpr DstRulePair kPairF{sunday_rule(1, 5, 10, 120), sunday_rule(1, 5, 3, 180)};
constexpr DstRulePair kPairG{sunday_rule(1, 1, 10, 120), sunday_rule(1, 5, 3, 180)};
constexpr DstRulePair kPairH{sunday_rule(1, 1, 10, 120), sunday_rule(1, 3, 3, 180)};
constexpr DstRulePair kPairI{sunday_rule(1, 2, 10, 0), sunday_rule(1, 2, 3, 0)};

}  // namespace

const TimeZoneEntry time_zones[kZoneCount] = {
    {0, nullptr},     // 0
    {720, nullptr},   // 1
    {660, nullptr},   // 2
    {600, nullptr},   // 3
    {540, &kPairD},   // 4
    {480, &kPairD},   // 5
    {420, nullptr},   // 6
    {360, nullptr},   // 7
    {300, nullptr},   // 8
    {240, nullptr},   // 9
    {210, &kPairE},   // 10
    {180, nullptr},   // 11
    {120, nullptr},   // 12
    {60, nullptr},    // 13
    {0, &kPairA},     // 14
    {-60, &kPairB},   // 15
    {-120, &kPairC},  // 16
    {-180, nullptr},  // 17
    {-210, nullptr},  // 18
    {-240, nullptr},  // 19
    {-270, nullptr},  // 20
    {-300, nullptr},  // 21
    {-330, nullptr},  // 22
    {-360, nullptr},  // 23
    {-390, nullptr},  // 24
    {-420, nullptr},  // 25
    {-480, nullptr},  // 26
    {-540, nullptr},  // 27
    {-570, nullptr},  // 28
    {-600, nullptr},  // 29
    {-660, nullptr},  // 30
    {-720, nullptr},  // 31
    {-780, nullptr},  // 32
    {420, &kPairD},   // 33
    {360, &kPairD},   // 34
    {300, &kPairD},   // 35
    {240, &kPairI},   // 36
    {-570, &kPairG},  // 37
    {-600, &kPairF},  // 38
    {-600, &kPairG},  // 39
    {-120, nullptr},  // 40
    {-720, &kPairH},  // 41
};

const char* const zone_names[kZoneCount] = {
    "(UTC) Coordinated Universal Time",
    "(GMT-12:00) International Date Line West",
    "(GMT-11:00) Midway Island, Samoa",
    "(GMT-10:00) Hawaii",
    "(GMT-09:00, DST observed) Alaska",
    "(GMT-08:00, DST observed) Pacific Time (US & Canada), Tijuana",
    "(GMT-07:00) Arizona",
    "(GMT-06:00) Central America",
    "(GMT-05:00) Indiana(East), Bogota, Lima, Quito",
    "(GMT-04:00) Caracas, La Paz",
    "(GMT-03:30, DST observed) Newfoundland",
    "(GMT-03:00) Brasilia, Buenos Aires, Georgetown",
    "(GMT-02:00) Mid-Atlantic",
    "(GMT-01:00) Azores",
    "(GMT, DST observed) Greenwich Mean Time, London",
    "(GMT+01:00, DST observed) Amsterdam, Berlin, Paris, Rome, Stockholm, Vienna",
    "(GMT+02:00, DST observed) Athens, Bucharest, Cairo, Helsinki, Istanbul",
    "(GMT+03:00) Baghdad, Kuwait, Moscow, St. Petersburg",
    "(GMT+03:30) Tehran",
    "(GMT+04:00) Abu Dhabi",
    "(GMT+04:30) Kabul",
    "(GMT+05:00) Islamabad",
    "(GMT+05:30) Chennai, New Delhi",
    "(GMT+06:00) Astana, Dhaka, Sri Jayawardenepura",
    "(GMT+06:30) Rangoon",
    "(GMT+07:00) Bangkok, Hanoi, Jakarta",
    "(GMT+08:00) Beijing, Hong Kong, Kuala Lumpur, Perth, Singapore",
    "(GMT+09:00) Osaka, Seoul, Tokyo",
    "(GMT+09:30) Darwin",
    "(GMT+10:00) Brisbane, Guam",
    "(GMT+11:00) Magadan",
    "(GMT+12:00) Fiji, Kamchatka",
    "(GMT+13:00) Nuku'alofa",
    "(GMT-07:00, DST observed) Mountain Time (US & Canada)",
    "(GMT-06:00, DST observed) Central Time (US & Canada)",
    "(GMT-05:00, DST observed) Eastern Time (US & Canada)",
    "(GMT-04:00, DST observed) Atlantic Time (Canada), Santiago",
    "(GMT+09:30, DST observed) Adelaide",
    "(GMT+10:00, DST observed) Canberra, Melbourne, Sydney",
    "(GMT+10:00, DST observed) Hobart",
    "(GMT+02:00) Harare, Pretoria, Jerusalem",
    "(GMT+12:00, DST observed) Auckland, Wellington",
};

const int32_t month_days[2][12] = {
    {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
    {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
};

const uint16_t month_start_days[2][13] = {
    {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365},
    {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366},
};
