// Two walks in one process, each with its own output context, write the same
// files as each alone: nothing mutable is shared between them.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "report/csv_history.h"
#include "report/datafile.h"
#include "report/output_context.h"
#include "report/sink.h"
#include "tests/support/test_sensor.h"
#include "zonetime/zone_time.h"

namespace {

using report_test::capture_sink;
using report_test::TempDir;

// One walk's outputs: a report (name with its time stamp) and a history per
// reading, the readings a year of hourly logs in a zone with daylight saving.
struct walk {
  std::string folder;
  bool local_time;
  zone_engine zones;
  capture_sink sink;

  void run(uint8_t zone) {
    const output_context ctx{&zones, local_time, &sink, folder, ""};
    datafile writer(ctx);
    csv_history history(ctx);
    report_test::sensor s;
    SensorStatus st = report_test::example_status();
    st.timeZone = zone;
    st.logInterval = 60;
    for (int round = 0; round < 24; ++round) {
      st.lastLogTime = 1798000000 + round * 16 * 86400;
      st.deviceTime = st.lastLogTime + 1234;
      std::vector<int32_t> values(400);
      for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<int32_t>(i * 7 % 300) - 50;
      report_test::load(s, st, values);
      const reading r = s.view();
      char name[100];
      ASSERT_GT(writer.make_filename(name, sizeof name, r, 3), 0);
      ASSERT_EQ(writer.write_data(name, r, round % 3), 0);
      ASSERT_EQ(history.save(r), 0);
    }
  }
};

std::map<std::string, std::string> take_files(const TempDir& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(dir.path()))
    files[e.path().filename().string()] = report_test::read_file(e.path().string());
  for (const auto& f : files) std::filesystem::remove(dir.file(f.first));
  return files;
}

TEST(TwoWalks, InterleavedOnTwoThreadsWriteWhatEachAloneWrites) {
  uint8_t zone = 0;
  while (zone < kZoneCount && time_zones[zone].dst == nullptr) ++zone;
  ASSERT_LT(zone, kZoneCount);
  TempDir a, b;
  ASSERT_TRUE(a.ok() && b.ok());
  const zone_engine global_before = process_zones();

  walk solo_a{a.path() + "/", true, {}, {}}, solo_b{b.path() + "/", false, {}, {}};
  solo_a.run(zone);
  solo_b.run(zone);
  const auto files_a = take_files(a), files_b = take_files(b);
  // A report per round (its name stamped), one history.
  ASSERT_EQ(files_a.size(), 25u);
  ASSERT_EQ(files_b.size(), 25u);
  EXPECT_NE(solo_a.sink.text.find("Saving data to " + a.path() + "/192.168.0.10_p1_"),
            std::string::npos);

  walk both_a{a.path() + "/", true, {}, {}}, both_b{b.path() + "/", false, {}, {}};
  std::thread ta([&] { both_a.run(zone); });
  std::thread tb([&] { both_b.run(zone); });
  ta.join();
  tb.join();
  EXPECT_EQ(take_files(a), files_a);
  EXPECT_EQ(take_files(b), files_b);
  EXPECT_EQ(both_a.sink.text, solo_a.sink.text);
  EXPECT_EQ(both_b.sink.text, solo_b.sink.text);
  EXPECT_EQ(both_a.zones.zone_bias, solo_a.zones.zone_bias);
  EXPECT_EQ(both_a.zones.dst_start, solo_a.zones.dst_start);

  // The process-wide clock was left alone.
  EXPECT_EQ(process_zones().zone_bias, global_before.zone_bias);
  EXPECT_EQ(process_zones().dst_start, global_before.dst_start);
  EXPECT_EQ(process_zones().dst_end, global_before.dst_end);
}

}  // namespace
