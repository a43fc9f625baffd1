#include "app/collected.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {
std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}
}  // namespace

// With several outputs the download reaches back to the one furthest
// behind, each output is told only what it lacks, and a commit moves only the
// marks of the outputs written, keeping marks it does not know.
TEST(Collected, EachOutputCatchesUpFromItsOwnMark) {
  char dir[] = "/tmp/collected_test.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/logfetch.state";
  constexpr int32_t kMark = 1796685000, kStep = 5 * 60;
  {
    std::ofstream out(path, std::ios::binary);
    out << "10.0.0.1 2 1 1 2 5 40 " << kMark << " history=" << kMark - 3 * kStep
        << " export=" << kMark << "\n";
  }
  SensorStatus st{};
  st.port = 1;
  st.sensorType = 1;
  st.sampleSize = 2;
  st.logInterval = 5;
  st.logCapacity = 40;
  st.logCount = 40;
  st.lastLogTime = kMark + 2 * kStep;

  collected state(path);
  state.load();
  EXPECT_EQ(state.plan("10.0.0.1", 0, st), 2);  // the report alone
  state.use({kReportMark, kHistoryMark});
  EXPECT_EQ(state.plan("10.0.0.1", 0, st), 5);
  EXPECT_EQ(state.lacking("10.0.0.1", 0, st, kReportMark), 2);
  EXPECT_EQ(state.lacking("10.0.0.1", 0, st, kHistoryMark), 5);
  EXPECT_EQ(state.lacking("10.0.0.1", 0, st, "nothing"), -1);
  EXPECT_EQ(state.lacking("10.0.0.1", 1, st, kReportMark), -1);

  // The tail an output is given: its newest samples, the newest last.
  const uint8_t samples[] = {1, 0, 2, 0, 3, 0, 4, 0, 5, 0};
  reading r;
  r.address = "10.0.0.1";
  r.status = &st;
  r.samples = samples;
  r.count = 5;
  r.sample_size = 2;
  const reading tail = newest_samples(r, 2);
  ASSERT_EQ(tail.count, 2);
  EXPECT_EQ(tail.get_value(0), 4);
  EXPECT_EQ(tail.get_value(1), 5);
  EXPECT_EQ(newest_samples(r, -1).count, 5);

  ASSERT_TRUE(state.commit(r, {kReportMark}));
  const std::string newest = std::to_string(kMark + 2 * kStep);
  EXPECT_EQ(read_text(path),
            "# address port slot type sample_size interval capacity newest_sample_time\n"
            "10.0.0.1 2 1 1 2 5 40 " +
                newest + " export=" + std::to_string(kMark) +
                " history=" + std::to_string(kMark - 3 * kStep) + "\n");
  state.load();
  EXPECT_EQ(state.plan("10.0.0.1", 0, st), 5);  // the history is still behind
  std::remove(path.c_str());
  rmdir(dir);
}
