#include "app/check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/plugin_range.h"
#include "app/walk.h"

namespace {

TEST(PluginRange, AlertsOutsideOrInside) {
  struct Case {
    const char* text;
    double value;
    bool alerts;
  };
  const Case cases[] = {
      {"10", -0.1, true},    {"10", 0, false},       {"10", 10, false},   {"10", 10.5, true},
      {"10:", 9.9, true},    {"10:", 1e9, false},    {"~:10", -1e9, false}, {"~:10", 11, true},
      {"10:20", 10, false},  {"10:20", 20, false},   {"10:20", 9, true},  {"10:20", 21, true},
      {"@10:20", 10, true},  {"@10:20", 15, true},   {"@10:20", 20.1, false},
      {"@10", 0, true},      {"@~:0", -3, true},     {"-5.5:-1", -6, true}, {"-5.5:-1", -5.5, false},
      {"~:", 123, false},    {"1.5:1.5", 1.5, false}, {"0.5", 0.6, true},
  };
  for (const Case& c : cases) {
    plugin_range r;
    ASSERT_TRUE(parse_plugin_range(c.text, &r)) << c.text;
    EXPECT_EQ(range_alerts(r, c.value), c.alerts) << c.text << " at " << c.value;
    EXPECT_EQ(r.text, c.text);
  }
}

TEST(PluginRange, RefusesWhatIsNoRange) {
  for (const char* text : {"", "@", ":", ":10", "20:10", "abc", "1:2:3", "10 ", " 10", "1e3", "+5",
                           "inf", "nan", "~", "10:~", "@@1", "1,5", "0x10"}) {
    plugin_range r;
    EXPECT_FALSE(parse_plugin_range(text, &r)) << "'" << text << "'";
  }
}

known_sensor sensor(int port, int slot, uint8_t type, int32_t time, int64_t value,
                    int interval = 5) {
  known_sensor k;
  k.port = port;
  k.slot = slot;
  k.type = type;
  k.newest_time = time;
  k.has_value = true;
  k.newest_value = value;
  k.interval_minutes = interval;
  return k;
}

sensor_ranges ranges(int port, int slot, const char* warn, const char* crit) {
  sensor_ranges r;
  r.port = port;
  r.slot = slot;
  r.has_warn = warn != nullptr && parse_plugin_range(warn, &r.warn);
  r.has_crit = crit != nullptr && parse_plugin_range(crit, &r.crit);
  return r;
}

// The state and the lines the monitoring system reads, for the situations
// a site meets; the box's clock at 100000, logging every 5 minutes.
TEST(JudgeSite, StatesLinesAndPerfdata) {
  struct Case {
    const char* what;
    int status;        // of the rack's walk
    int64_t box_time;  // 0: no reply
    known_sensor k;
    sensor_ranges r;
    bool written;
    int state;
    std::string text;
  };
  const known_sensor temp = sensor(1, 1, 1, 99800, 21);
  const known_sensor amps = sensor(2, 2, 2, 99800, -125);
  const Case cases[] = {
      {"ok", 0, 100000, temp, ranges(1, 1, "18:27", "15:30"), true, kCheckOk,
       "LOGFETCH OK - 2 boxes, 2 sensors | 'rack p1s1 temperature'=21;18:27;15:30 "
       "'o''k p1s1 humidity'=40\n"},
      {"tenths, crit only, outside", 0, 100000, amps, ranges(2, 2, nullptr, "@-20:-10"), true,
       kCheckCritical,
       "LOGFETCH CRITICAL - 1 sensor critical | 'rack p2s2 4-20ma'=-12.5;;@-20:-10 "
       "'o''k p1s1 humidity'=40\n"
       "rack p2s2 4-20ma: -12.5 (crit @-20:-10)\n"},
      {"warn", 0, 100000, temp, ranges(1, 1, "22:", "15:30"), true, kCheckWarning,
       "LOGFETCH WARNING - 1 sensor warning | 'rack p1s1 temperature'=21;22:;15:30 "
       "'o''k p1s1 humidity'=40\n"
       "rack p1s1 temperature: 21 (warn 22:)\n"},
      {"stale by the box's clock", 0, 99800 + 601, temp, sensor_ranges{}, true, kCheckWarning,
       "LOGFETCH WARNING - 1 sensor stale | 'rack p1s1 temperature'=21 'o''k p1s1 humidity'=40\n"
       "rack p1s1 temperature: newest sample 601 s old by the box's clock, logging every 5 min\n"},
      {"two intervals is not stale", 0, 99800 + 600, temp, sensor_ranges{}, true, kCheckOk,
       "LOGFETCH OK - 2 boxes, 2 sensors | 'rack p1s1 temperature'=21 'o''k p1s1 humidity'=40\n"},
      {"not reached: critical, not stale", kWalkEndedEarly, 0, temp, sensor_ranges{}, true,
       kCheckCritical,
       "LOGFETCH CRITICAL - 1 of 2 boxes not reached (rack) | 'rack p1s1 temperature'=21 "
       "'o''k p1s1 humidity'=40\nrack: not reached: no reply\n"},
      {"not all saved, outputs not written", kSensorNotSaved, 100000, temp, sensor_ranges{}, false,
       kCheckWarning,
       "LOGFETCH WARNING - 1 box not all saved, outputs not written | 'rack p1s1 temperature'=21 "
       "'o''k p1s1 humidity'=40\nrack: not all saved (files or stores not written)\n"
       "the textfile or the site page was not written\n"},
  };
  for (const Case& c : cases) {
    site_plan plan;
    plan.boxes.resize(2);
    plan.boxes[0].name = "rack";
    plan.boxes[0].ranges = {c.r};
    plan.boxes[1].name = "o'k";
    std::vector<walk_summary> walks(2);
    walks[0].status = c.status;
    walks[0].box_time = c.box_time;
    walks[0].outcome = "no reply";
    walks[1].box_time = 100000;
    const std::vector<std::vector<known_sensor>> known = {{c.k}, {sensor(1, 1, 3, 99900, 40)}};
    const check_verdict v = judge_site(plan, walks, known, c.written);
    EXPECT_EQ(v.state, c.state) << c.what;
    EXPECT_EQ(v.text, c.text) << c.what;
  }
}

// A sensor with thresholds but no value known (-n without -c) cannot be
// judged: unknown, with U as its value, below any real problem.
TEST(JudgeSite, NoValueIsUnknownUnlessWorse) {
  site_plan plan;
  plan.boxes.resize(1);
  plan.boxes[0].name = "a|b";
  plan.boxes[0].ranges = {ranges(1, 1, "10", nullptr)};
  known_sensor k = sensor(1, 1, 1, 99800, 0);
  k.has_value = false;
  std::vector<walk_summary> walks(1);
  walks[0].box_time = 100000;
  check_verdict v = judge_site(plan, walks, {{k}}, true);
  EXPECT_EQ(v.state, kCheckUnknown);
  EXPECT_EQ(v.text,
            "LOGFETCH UNKNOWN - 1 sensor without a value | 'a|b p1s1 temperature'=U;10\n"
            "a_b p1s1 temperature: no value known to judge (keep histories with -c)\n");
  walks[0].box_time = 100000 + 3600;
  v = judge_site(plan, walks, {{k}}, true);
  EXPECT_EQ(v.state, kCheckWarning);
}

}  // namespace
