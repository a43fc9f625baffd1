// The walk over ports and slots, its messages and early ends, the usage text
// and the prompts, as the real program shows them.
#include <gtest/gtest.h>

#include "tests/e2e/expected_report.h"
#include "tests/e2e/harness.h"
#include "tests/support/texts.h"

namespace {

using test_texts::kUsage;

const char* const kAddressPrompt = "Enter ip of Vellorix to download data from: ";
const char* const kPasswordPrompt = "Type your password: ";

// One temperature sensor on port 1, slot 1; nothing else.
std::string one_sensor_box(const std::string& password_line) {
  return "system Lab\nclock 1796685429\n" + password_line +
         "\n[port 1 slot 1]\nunit C\nlast_log_time 1796685000\nsamples 21 22 24\n";
}

std::string offline_from(int port) {
  std::string s;
  for (int p = port; p <= 8; ++p) s += "Port " + std::to_string(p) + " offline.\n";
  return s;
}

// The status request's bytes 7-22 as hex.
std::string password_field(const std::string& request_hex) { return request_hex.substr(14, 32); }

}  // namespace

TEST(E2eUsage, HelpAndUnrecognisedWords) {
  SKIP_IF_BOXSIM_UNDER_WINE("runs no box");
  struct Case {
    std::vector<std::string> args;
    std::string out;
    int status;
  };
  const Case cases[] = {
      {{"-?"}, kUsage, 0},
      {{"-h"}, kUsage, 0},
      {{"/?"}, kUsage, 0},
      {{"/h"}, kUsage, 0},
      {{"-hx"}, kUsage, 0},
      {{"-?", "-H", "stray"}, kUsage, 0},  // words after help are never looked at
      {{"-o", "-T", "-?"}, kUsage, 0},
      {{"-H"}, "Argument '-H' not recognized.\n", kExitMinusOne},
      {{"127.0.0.1"}, "Argument '127.0.0.1' not recognized.\n", kExitMinusOne},
      {{"-"}, "Argument '-' not recognized.\n", kExitMinusOne},
      {{"--"}, "Argument '--' not recognized.\n", kExitMinusOne},
      {{"-x", "-?"},
       "Option -x needs a format: openmetrics, influx or openmetrics,influx.\n",
       kExitMinusOne},
  };
  TempDir dir;
  for (const Case& c : cases) {
    const RunResult run = run_logfetch(dir, c.args, "", 30);
    const std::string what = c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
    EXPECT_EQ(run.out, c.out) << what;
    EXPECT_EQ(run.status, c.status) << what;
  }
  EXPECT_TRUE(dir.list().empty()) << "nothing is written";
}

// Every row of the walk's table but the three that end it.
TEST(E2eWalk, MessageTable) {
  E2E_NEEDS_ROOT();
  BoxSim box(box_n::kMessageTable, R"(
system Server room
clock 1796685429
password pw
[port 1 slot 1]
type temperature
description Rack inlet
unit C
interval 10
avg_high 25
avg_low 19
inst_high 27
inst_low 18
last_log_time 1796685000
samples 21 22 24
[port 1 slot 2]
error 0xFB
[port 2 slot 1]
error 0xFC
[port 2 slot 2]
error 0xFE
[port 3 slot 1]
error 0xFD
[port 3 slot 2]
samples 1
[port 4 slot 1]
samples 5
count 0
[port 4 slot 2]
error 0x85
[port 5 slot 1]
error 0xFF
[port 5 slot 2]
error 0x80
[port 6 slot 1]
type humidity
samples 50 51
)");
  ASSERT_TRUE(box.ready());
  const std::string a = box.addr();
  TempDir dir;
  const RunResult run = run_logfetch(dir, {"-i", a, "-p", "pw"});
  EXPECT_EQ(run.out, "Saving data to " + a + "_p1_temperature.txt ...\n" +
                         "Sensor on port 2 has no datalog.\n"
                         "Port 3 offline.\n"
                         "Sensor on port 4 has no data in datalogger\n"
                         "Read Vellorix status, return unknown error (-123).\n"
                         "Read Vellorix status, return unknown error (-1).\n"
                         "Read Vellorix status, return unknown error (-128).\n"
                         "Saving data to " +
                         a + "_p6_humidity.txt ...\n" + "Sensor on port 6 has no datalog.\n" +
                         offline_from(7));
  EXPECT_EQ(run.status, 2);  // sensors not read

  // The report of port 1 is the worked example, for this box's address.
  EXPECT_EQ(dir.read(a + "_p1_temperature.txt"), test_texts::worked_example_report(a));
  EXPECT_EQ(dir.list(),
            (std::vector<std::string>{a + "_p1_temperature.txt", a + "_p6_humidity.txt"}));

  // Port 3's second slot is never asked; status requests after a download
  // carry that download's last start and count in bytes 3-6.
  const std::vector<std::string> want = {
      request_hex(2, 0, 0, 0, 0, "pw"), request_hex(3, 0, 0, 0, 3, "pw"),
      request_hex(2, 0, 1, 0, 3, "pw"), request_hex(2, 1, 0, 0, 3, "pw"),
      request_hex(2, 1, 1, 0, 3, "pw"), request_hex(2, 2, 0, 0, 3, "pw"),
      request_hex(2, 3, 0, 0, 3, "pw"), request_hex(2, 3, 1, 0, 3, "pw"),
      request_hex(2, 4, 0, 0, 3, "pw"), request_hex(2, 4, 1, 0, 3, "pw"),
      request_hex(2, 5, 0, 0, 3, "pw"), request_hex(3, 5, 0, 0, 2, "pw"),
      request_hex(2, 5, 1, 0, 2, "pw"), request_hex(2, 6, 0, 0, 2, "pw"),
      request_hex(2, 7, 0, 0, 2, "pw"),
  };
  EXPECT_EQ(box.request_hex(), want);
}

TEST(E2eWalk, WrongPasswordEndsTheWalk) {
  E2E_NEEDS_ROOT();
  const std::string a = box_addr(box_n::kWrongPassword);
  {
    BoxSim box(box_n::kWrongPassword, one_sensor_box("password right"));
    ASSERT_TRUE(box.ready());
    TempDir dir;
    const RunResult run = run_logfetch(dir, {"-i", a, "-p", "wrong"});
    EXPECT_EQ(run.out, "Wrong password !\n");
    EXPECT_EQ(run.status, 1);  // the walk ended early
    EXPECT_EQ(box.request_hex(), (std::vector<std::string>{request_hex(2, 0, 0, 0, 0, "wrong")}));
    EXPECT_TRUE(dir.list().empty());
  }
  {
    // The box refuses the password only on port 2: port 1 is saved first.
    BoxSim box(box_n::kWrongPassword,
               one_sensor_box("password right") + "[port 2 slot 1]\nerror 0xFA\n");
    ASSERT_TRUE(box.ready());
    TempDir dir;
    const RunResult run = run_logfetch(dir, {"/I", a, "/P", "right"});
    EXPECT_EQ(run.out, "Saving data to " + a + "_p1_temperature.txt ...\n" +
                           "Sensor on port 1 has no datalog.\nWrong password !\n");
    EXPECT_EQ(run.status, 1);  // the walk ended early
    const std::vector<std::string> got = box.request_hex();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got.back(), request_hex(2, 1, 0, 0, 3, "right"));
  }
}

TEST(E2eWalk, OldFirmwareEndsTheWalk) {
  E2E_NEEDS_ROOT();
  BoxSim box(box_n::kOldFirmware, one_sensor_box("") +
                                      "[port 2 slot 1]\nold_firmware\nsamples 1\n"
                                      "[port 3 slot 1]\nsamples 1\n");
  ASSERT_TRUE(box.ready());
  TempDir dir;
  const RunResult run = run_logfetch(dir, {"-i" + box.addr(), "-pSECRET"});
  EXPECT_EQ(run.out, "Saving data to " + box.addr() + "_p1_temperature.txt ...\n" +
                         "Sensor on port 1 has no datalog.\n"
                         "Please update firmware on Vellorix\n");
  EXPECT_EQ(run.status, 1);  // the walk ended early
  const std::vector<std::string> got = box.request_hex();
  ASSERT_EQ(got.size(), 4u) << "one status request to port 2, then nothing";
  EXPECT_EQ(got.back(), request_hex(2, 1, 0, 0, 3, "SECRET"));
}

TEST(E2eWalk, NoReplyEndsTheWalkAfterFiveRequests) {
  SKIP_IF_BOXSIM_UNDER_WINE(under_wine::kSilentBox);
  E2E_NEEDS_ROOT();
  BoxSim box(box_n::kNoReply, one_sensor_box(""), {"--silent"});
  ASSERT_TRUE(box.ready());
  TempDir dir;
  const RunResult run = run_logfetch(dir, {"-i", box.addr(), "-p", "pw"}, "", 60);
  EXPECT_EQ(run.out, "No Vellorix reply !\n");
  EXPECT_EQ(run.status, 1);  // the walk ended early
  const std::vector<LoggedRequest> got = box.requests();
  ASSERT_EQ(got.size(), 5u);
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].hex, request_hex(2, 0, 0, 0, 0, "pw")) << i;
    if (i > 0) {
      const double gap = got[i].seconds - got[i - 1].seconds;
      EXPECT_GT(gap, 4.9) << "each attempt waits 5 s";
      EXPECT_LT(gap, 6.5);
    }
  }
  EXPECT_LT(run.seconds, 32);
}

TEST(E2ePrompts, AnswersFedThroughStandardInput) {
  E2E_NEEDS_ROOT();
  BoxSim box(box_n::kPrompts, one_sensor_box("password pw"));
  ASSERT_TRUE(box.ready());
  const std::string a = box.addr();
  const std::string walk = "Saving data to " + a +
                           "_p1_temperature.txt ...\nSensor on port 1 has no datalog.\n" +
                           offline_from(2);
  struct Case {
    std::vector<std::string> args;
    std::string input;
    std::string out;
  };
  const Case cases[] = {
      {{}, a + "\npw\n", std::string(kAddressPrompt) + kPasswordPrompt + walk},
      {{}, "  " + a + "   pw", std::string(kAddressPrompt) + kPasswordPrompt + walk},
      {{"-i", a}, "\n\n  pw  \n", kPasswordPrompt + walk},
      {{"/p", "pw"}, a, kAddressPrompt + walk},
      {{"-i", "127.0.0.1", "-p", "no", "-I", a, "-P", "pw"}, "", walk},  // the later ones win
  };
  for (const Case& c : cases) {
    TempDir dir;
    const RunResult run = run_logfetch(dir, c.args, c.input);
    EXPECT_EQ(run.out, c.out) << c.input;
    EXPECT_EQ(run.status, 0);
  }
  for (const std::string& hex : box.request_hex())
    EXPECT_EQ(password_field(hex), password_field(request_hex(0, 0, 0, 0, 0, "pw")));
}

TEST(E2ePrompts, EndOfInputGivesTheEmptyPassword) {
  E2E_NEEDS_ROOT();
  BoxSim box(box_n::kPromptAtEndOfInput, one_sensor_box("password \"\""));
  ASSERT_TRUE(box.ready());
  TempDir dir;
  const RunResult run = run_logfetch(dir, {"-i", box.addr()}, "");
  EXPECT_EQ(run.out, std::string(kPasswordPrompt) + "Saving data to " + box.addr() +
                         "_p1_temperature.txt ...\nSensor on port 1 has no datalog.\n" +
                         offline_from(2));
  EXPECT_EQ(run.status, 0);
  const std::vector<std::string> got = box.request_hex();
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got[0], request_hex(2, 0, 0, 0, 0, ""));
}
