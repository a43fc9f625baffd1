#include "report/handoff.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "report/datafile.h"
#include "tests/support/test_sensor.h"

namespace {

using report_test::example_status;
using report_test::load;
using report_test::read_file;
using report_test::split_lines;
using report_test::TempDir;

// The hand-off names files relative to the current directory: each test runs
// in a fresh one.
class HandoffTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    ASSERT_NE(getcwd(old_cwd_, sizeof old_cwd_), nullptr);
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  }
  void TearDown() override { EXPECT_EQ(chdir(old_cwd_), 0); }

  // Loads a sensor whose single sample is `marker`, so reports can be told apart.
  void sensor(uint8_t port, uint8_t type, int32_t marker) {
    SensorStatus st = example_status();
    st.port = port;
    st.sensorType = type;
    load(sensor_, st, {marker});
  }
  std::string save(report_handoff& h) {
    testing::internal::CaptureStdout();
    h.save(sensor_.view());
    return testing::internal::GetCapturedStdout();
  }
  // The sample values of all reports in a file, in file order.
  static std::vector<std::string> markers(const std::string& file) {
    std::vector<std::string> out;
    for (const auto& line : split_lines(read_file(file))) {
      const auto comma = line.find(", ");
      if (comma != std::string::npos && line.size() > 19 && line[2] == '/')
        out.push_back(line.substr(comma + 2));
    }
    return out;
  }
  static std::vector<std::string> files() {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator("."))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  TempDir dir_;
  char old_cwd_[4096] = {};
  report_test::sensor sensor_;
  datafile writer_;
};

using Markers = std::vector<std::string>;

TEST_F(HandoffTest, NamesByAddressPortAndTypeAndAppends) {
  report_handoff h(writer_, /*overwrite=*/false, output_context{});
  sensor(0, 1, 11);
  EXPECT_EQ(save(h), "Saving data to 192.168.0.10_p1_temperature.txt ...\n");
  sensor(2, 2, 22);
  save(h);
  sensor(0, 1, 33);
  save(h);
  EXPECT_EQ(files(), (Markers{"192.168.0.10_p1_temperature.txt", "192.168.0.10_p3_4-20ma.txt"}));
  EXPECT_EQ(markers("192.168.0.10_p1_temperature.txt"), (Markers{"11", "33"}));
  EXPECT_EQ(markers("192.168.0.10_p3_4-20ma.txt"), (Markers{"2.2"}));
}

// Without -o every run adds to what earlier runs left.
TEST_F(HandoffTest, AppendKeepsEarlierRuns) {
  for (int32_t run : {1, 2}) {
    report_handoff h(writer_, false, output_context{});
    sensor(4, 3, run);
    save(h);
  }
  EXPECT_EQ(markers("192.168.0.10_p5_humidity.txt"), (Markers{"1", "2"}));
}

// With -o a file is emptied once per run: two sensors of one type on one
// port (slots 1 and 2) both keep their report.
TEST_F(HandoffTest, OverwriteEmptiesEachNameOncePerRun) {
  {
    std::FILE* f = std::fopen("192.168.0.10_p1_temperature.txt", "w");
    ASSERT_NE(f, nullptr);
    std::fputs("old report\n", f);
    std::fclose(f);
  }
  report_handoff run1(writer_, /*overwrite=*/true, output_context{});
  sensor(0, 1, 1);  // slot 1
  save(run1);
  sensor(0, 1, 2);  // slot 2, same name
  save(run1);
  sensor(1, 1, 3);  // another name, emptied on its own
  save(run1);
  const std::string first = read_file("192.168.0.10_p1_temperature.txt");
  EXPECT_EQ(first.find("old report"), std::string::npos);
  EXPECT_EQ(markers("192.168.0.10_p1_temperature.txt"), (Markers{"1", "2"}));
  EXPECT_EQ(markers("192.168.0.10_p2_temperature.txt"), (Markers{"3"}));

  // The next run with -o starts the file afresh.
  report_handoff run2(writer_, true, output_context{});
  sensor(0, 1, 4);
  save(run2);
  EXPECT_EQ(markers("192.168.0.10_p1_temperature.txt"), (Markers{"4"}));
}

// With -o, a report that could not be written has emptied nothing: the next
// report of the run under that name still replaces what earlier runs left.
TEST_F(HandoffTest, OverwriteAfterAFailedOpenStillEmpties) {
  const char* const name = "192.168.0.10_p1_temperature.txt";
  report_handoff h(writer_, /*overwrite=*/true, output_context{});
  ASSERT_TRUE(std::filesystem::create_directory(name));  // cannot be opened as a file
  sensor(0, 1, 1);
  EXPECT_EQ(save(h), std::string("Can't open file:") + name + " to write data !\n");
  std::filesystem::remove(name);
  {
    std::FILE* f = std::fopen(name, "w");
    ASSERT_NE(f, nullptr);
    std::fputs("old report\n", f);
    std::fclose(f);
  }
  sensor(0, 1, 2);
  save(h);
  EXPECT_EQ(read_file(name).find("old report"), std::string::npos);
  EXPECT_EQ(markers(name), (Markers{"2"}));
}

// A name cut off at 100 bytes is never written to; the walk goes on.
TEST_F(HandoffTest, NameTooLongIsNotWritten) {
  report_handoff h(writer_, false, output_context{});
  // "<address>_p3_humidity.txt": 16 characters behind the address.
  struct Case {
    size_t address_length;
    const char* console;
  };
  const Case cases[] = {
      {84, "File name too long for sensor on port 3 !\n"},
      {200, "File name too long for sensor on port 3 !\n"},
      {83, nullptr},  // 99 characters: fits with its zero byte
  };
  for (const Case& c : cases) {
    sensor(2, 3, 5);
    sensor_.address = std::string(c.address_length, 'h');
    const std::string name = sensor_.address + "_p3_humidity.txt";
    const std::string console = save(h);
    if (c.console != nullptr) {
      EXPECT_EQ(console, c.console);
      EXPECT_TRUE(files().empty());
    } else {
      EXPECT_EQ(console, "Saving data to " + name + " ...\n");
      EXPECT_EQ(files(), Markers{name});
    }
  }
}

}  // namespace
