#include "tests/e2e/expected_report.h"

#include <gtest/gtest.h>

#include "tests/e2e/harness.h"
#include "tests/support/texts.h"

// The reference itself is checked against the report that the program's
// documents give as their worked example, with the address changed.
TEST(ExpectedReport, WorkedExample) {
  SKIP_IF_UNDER_WINE(under_wine::kHelperCheck);
  ReportSensor s;
  s.address = "192.168.0.10";
  s.system_name = "Server room";
  s.description = "Rack inlet";
  s.unit = "C";
  s.device_time = 1796685429;
  s.avg_high = 25;
  s.avg_low = 19;
  s.inst_high = 27;
  s.inst_low = 18;
  s.last_log_time = 1796685000;
  s.samples = {21, 22, 24};
  EXPECT_EQ(expected_utc_report(s), test_texts::worked_example_report("192.168.0.10"));
}

TEST(ExpectedReport, UtcFieldsAcrossTheRange) {
  SKIP_IF_UNDER_WINE(under_wine::kHelperCheck);
  struct Case {
    int32_t t;
    CivilTime want;
  };
  const Case cases[] = {
      {0, {1970, 1, 1, 0, 0, 0}},           {-1, {1969, 12, 31, 23, 59, 59}},
      {951782400, {2000, 2, 29, 0, 0, 0}},  {INT32_MIN, {1901, 12, 13, 20, 45, 52}},
      {INT32_MAX, {2038, 1, 19, 3, 14, 7}},
  };
  for (const Case& c : cases) {
    const CivilTime got = utc_fields(c.t);
    EXPECT_EQ(got.year, c.want.year) << c.t;
    EXPECT_EQ(got.month, c.want.month) << c.t;
    EXPECT_EQ(got.day, c.want.day) << c.t;
    EXPECT_EQ(got.hour, c.want.hour) << c.t;
    EXPECT_EQ(got.minute, c.want.minute) << c.t;
    EXPECT_EQ(got.second, c.want.second) << c.t;
  }
}

TEST(ExpectedReport, AveragesAndTenths) {
  SKIP_IF_UNDER_WINE(under_wine::kHelperCheck);
  EXPECT_EQ(average_text({22, 22, 22, 23}, false), "22.3");
  EXPECT_EQ(average_text({1, 2}, false), "1.5");
  EXPECT_EQ(average_text({-1, -2}, false), "-1.5");
  EXPECT_EQ(average_text({100, 200}, true), "15.0");
  EXPECT_EQ(average_text({-223, -222}, true), "-22.3");
  EXPECT_EQ(average_text({}, false), "0.0");
  EXPECT_EQ(tenths(-123), "-12.3");
  EXPECT_EQ(tenths(-5), "-0.5");
  EXPECT_EQ(tenths(-120), "-12.0");
  EXPECT_EQ(tenths(INT32_MIN), "-214748364.8");
}
