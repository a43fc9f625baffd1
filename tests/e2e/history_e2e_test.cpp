// CSV histories and the chart page through the real program: the program
// under test (under Wine: logfetch.exe) must write the same bytes as the
// native one, and a repeated run must add nothing.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/e2e/harness.h"

namespace {

// Box address of this file, clear of the common table and its N + 100.
constexpr int kHistoryBox = 173;

// A fixed clock, so that both programs read the same samples: a zone with
// daylight saving across its change, tenths of both signs, a box text that
// needs escaping.
const char kBox[] =
    "system   \"<Lab & \\\"annex\\\">\"\n"
    "clock    1792117800\n"
    "[port 1 slot 1]\n"
    "type temperature\nunit C\nzone 15\ndescription Rack inlet\n"
    "sample_size 2\ninterval 10\ngenerate 3000 wave 22 4 144\n"
    "[port 1 slot 2]\n"
    "type humidity\nunit %RH\nzone 255\nsample_size 1\ninterval 10\n"
    "generate 500 random 7 30 60\n"
    "[port 2 slot 1]\n"
    "type 4-20ma\nunit mA\nzone 35\ndescription Chilled water\n"
    "sample_size 2\ninterval 5\ngenerate 2000 wave 0 150 288\n";

// A file's bytes; a page's without the line that says when it was written.
std::string raw(const TempDir& dir, const std::string& name) {
  std::ifstream f(dir.file(name), std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  std::string bytes = s.str();
  const size_t at = bytes.find("<p class=\"written\">");
  if (at != std::string::npos) bytes.erase(at, bytes.find('\n', at) - at);
  return bytes;
}

// Runs the native program, whatever LOGFETCH_EXE and LOGFETCH_RUNNER say.
RunResult run_native(const TempDir& dir, const std::vector<std::string>& args) {
  const char* exe = std::getenv("LOGFETCH_EXE");
  const char* runner = std::getenv("LOGFETCH_RUNNER");
  const std::string saved_exe = exe ? exe : "", saved_runner = runner ? runner : "";
  unsetenv("LOGFETCH_EXE");
  unsetenv("LOGFETCH_RUNNER");
  RunResult run = run_logfetch(dir, args, "", 120);
  if (exe) setenv("LOGFETCH_EXE", saved_exe.c_str(), 1);
  if (runner) setenv("LOGFETCH_RUNNER", saved_runner.c_str(), 1);
  return run;
}

}  // namespace

TEST(E2eHistory, SameBytesAsTheNativeProgramAndNothingRepeated) {
  SKIP_IF_BOXSIM_UNDER_WINE("compares logfetch with the native program, which it is here");
  E2E_NEEDS_ROOT();
  BoxSim box(kHistoryBox, kBox);
  ASSERT_TRUE(box.ready());
  const std::vector<std::string> args = {"-w", "-i", box.addr(), "-p", "public"};
  TempDir tested, native;
  const RunResult first = run_logfetch(tested, args, "", 120);
  ASSERT_FALSE(first.timed_out) << first.out;
  EXPECT_EQ(first.status, 0) << first.out;
  const RunResult reference = run_native(native, args);
  ASSERT_EQ(reference.status, 0) << reference.out;
  EXPECT_EQ(first.out, reference.out);

  const std::vector<std::string> names = {box.addr() + "_p1_s1_temperature.csv",
                                          box.addr() + "_p1_s2_humidity.csv",
                                          box.addr() + "_p2_s1_4-20ma.csv", box.addr() + ".html"};
  for (const std::string& name : names) {
    const std::string bytes = raw(tested, name);
    EXPECT_FALSE(bytes.empty()) << name;
    EXPECT_TRUE(bytes == raw(native, name)) << name << " differs from the native program's";
  }
  const std::string page = raw(tested, names[3]);
  EXPECT_EQ(page.find('\r'), std::string::npos) << "the page is the same text everywhere";

  // The same samples again: every history and the page stay as they were.
  const RunResult again = run_logfetch(tested, args, "", 120);
  EXPECT_EQ(again.status, 0) << again.out;
  for (const std::string& name : names)
    EXPECT_TRUE(raw(tested, name) == raw(native, name)) << name << " changed on a repeated run";
}
