#include "app/driver.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/prompts.h"
#include "app/usage.h"
#include "device/getdata.h"
#include "device/messages.h"
#include "platform/files.h"
#include "report/datafile.h"
#include "tests/support/fake_box.h"
#include "tests/support/texts.h"

namespace {
constexpr int kWaitMs = 200;

using test_texts::kUsage;

const char kVersion[] = "logfetch " LOGFETCH_VERSION "\n";

const char kAddressPrompt[] = "Enter ip of Vellorix to download data from: ";
const char kPasswordPrompt[] = "Type your password: ";

struct Outcome {
  int status;
  std::string out;
  bool local_time = false;  // what the writer was told
};

// Runs the program on `words` with `in` as its input, stdout captured.
Outcome run_with(getdata& conn, const std::vector<std::string>& words, std::FILE* in) {
  std::vector<std::string> storage = {"logfetch"};
  storage.insert(storage.end(), words.begin(), words.end());
  std::vector<char*> argv;
  for (std::string& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  datafile writer;
  testing::internal::CaptureStdout();
  const int status = logfetch_main(static_cast<int>(storage.size()), argv.data(), conn, writer, in);
  return {status, testing::internal::GetCapturedStdout(), writer.local_time()};
}

Outcome run(getdata& conn, const std::vector<std::string>& words, const std::string& input = "") {
  std::FILE* in = std::tmpfile();
  std::fwrite(input.data(), 1, input.size(), in);
  std::rewind(in);
  Outcome o = run_with(conn, words, in);
  std::fclose(in);
  return o;
}

int slot_index(const Bytes& request) { return request[kReqPort] * 2 + request[kReqSlot]; }

// Slots (port * 2 + slot) of the status requests the box received, in order.
std::vector<int> status_requests(const FakeBox& box) {
  std::vector<int> slots;
  for (const Bytes& r : box.requests())
    if (r.size() == kRequestSize && r[kReqCode] == kStatusRequestCode)
      slots.push_back(slot_index(r));
  return slots;
}

int data_requests(const FakeBox& box) {
  int n = 0;
  for (const Bytes& r : box.requests())
    if (r.size() == kRequestSize && r[kReqCode] == kDataRequestCode) ++n;
  return n;
}

std::string request_password(const Bytes& request) {
  return std::string(reinterpret_cast<const char*>(request.data()) + kReqPassword, kPasswordSize);
}

std::string padded(const std::string& password) {
  std::string p = password.substr(0, kPasswordSize);
  p.resize(kPasswordSize, '\0');
  return p;
}

// Slots 0..last in walk order, less `skipped`.
std::vector<int> slots_upto(int last, int skipped = -1) {
  std::vector<int> v;
  for (int i = 0; i <= last; ++i)
    if (i != skipped) v.push_back(i);
  return v;
}

// A box whose status answers are given per slot; an empty answer is never
// sent. Slots not listed answer the silent box error 0xFB. Sensors listed in
// `sensors` answer their status and their data requests.
FakeHandler walk_box(std::map<int, Bytes> answers, std::vector<FakeSensor> sensors = {}) {
  FakeHandler sensor_handler = serve_sensors(sensors, kBoxErrorFB);
  return [answers, sensor_handler](const Bytes& req, int index) -> std::vector<FakeReply> {
    if (req.size() == kRequestSize && req[kReqCode] == kStatusRequestCode) {
      auto it = answers.find(slot_index(req));
      if (it != answers.end()) {
        if (it->second.empty()) return {};
        return {reply(it->second)};
      }
    }
    return sensor_handler(req, index);
  };
}

Bytes box_error(uint8_t code, int slot) {
  return error_reply(code, static_cast<uint8_t>(slot / 2), kStatusReplySize);
}

// A sensor for slot index `slot` (port * 2 + slot) with a 100-sample ring.
FakeSensor sensor(int slot, uint8_t type, int16_t count, uint8_t sample_size) {
  FakeSensor s;
  s.status = make_status(static_cast<uint8_t>(slot / 2), type, 100, count, count, sample_size);
  for (int i = 0; i < 100; ++i) s.ring.push_back(i);
  return s;
}

TEST(DriverUsage, PrintsTheTextByteForByte) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(print_usage(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), kUsage);
}

// Words that end the run before any prompt and before the box is asked.
TEST(DriverCommandLine, HelpAndUnknownWordsEndTheRunAtOnce) {
  FakeBox box("127.0.2.1", 0, walk_box({}));
  getdata conn(box.port(), kWaitMs);
  const std::string addr = box.addr();
  const struct {
    std::vector<std::string> words;
    int status;
    std::string out;
  } cases[] = {
      {{"-?"}, 0, kUsage},
      {{"-h"}, 0, kUsage},
      {{"/h"}, 0, kUsage},
      {{"/?"}, 0, kUsage},
      {{"-hx"}, 0, kUsage},
      {{"-i", addr, "-p", "pw", "-h"}, 0, kUsage},
      {{"-h", "bogus"}, 0, kUsage},
      {{"-i", "box", "-?"}, 0, kUsage},
      {{"-v"}, 0, kVersion},
      {{"/v"}, 0, kVersion},
      {{"-V"}, 0, kVersion},
      {{"/V"}, 0, kVersion},
      {{"-i", addr, "-p", "pw", "-v", "-h"}, 0, kVersion},
      {{"-v", "bogus"}, 0, kVersion},
      {{"-h", "-v"}, 0, kUsage},
      {{"--help"}, 0, kUsage},
      {{"-i", addr, "--version"}, 0, kVersion},
      {{"--helpx"}, -1, "Argument '--helpx' not recognized.\n"},
      {{"-H"}, -1, "Argument '-H' not recognized.\n"},
      {{addr}, -1, "Argument '" + addr + "' not recognized.\n"},
      {{"-"}, -1, "Argument '-' not recognized.\n"},
      {{"--"}, -1, "Argument '--' not recognized.\n"},
      {{"bogus", "-h"}, -1, "Argument 'bogus' not recognized.\n"},
      {{"-i", addr, "-p", "pw", "-x"},
       -1,
       "Option -x needs a format: openmetrics, influx or openmetrics,influx.\n"},
      {{"-i", addr, "-p", "pw", "-xbogus"}, -1, "Argument 'bogus' not recognized.\n"},
      {{"-f"}, -1, "Option -f needs a file name.\n"},
      {{"-i", addr, "-p", "pw", "extra"}, -1, "Argument 'extra' not recognized.\n"},
      {{"--task-xml"}, -1, "--task-xml needs the site file: -f FILE !\n"},
      {{"--task-xml", "-f", "s.toml", "-i", addr}, -1, "-i and -p cannot be combined with -f !\n"},
      {{"--task-xml", "-f", "/nonexistent/s.toml"}, -1, "Can't read /nonexistent/s.toml !\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.words.empty() ? "" : c.words.back());
    const Outcome o = run(conn, c.words);
    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(o.out, c.out);
  }
  EXPECT_TRUE(box.requests().empty());
}

TEST(DriverPrompts, AskForAddressThenPasswordAndUseTheAnswers) {
  FakeBox box("127.0.2.2", 0, walk_box({{0, box_error(kBoxWrongPassword, 0)}}));
  getdata conn(box.port(), kWaitMs);
  const Outcome o = run(conn, {}, "  " + box.addr() + "\n\tsecret  \n");
  EXPECT_EQ(o.status, 1);  // the walk ended early
  EXPECT_EQ(o.out, std::string(kAddressPrompt) + kPasswordPrompt + "Wrong password !\n");
  const std::vector<Bytes> reqs = box.requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(request_password(reqs[0]), padded("secret"));
}

TEST(DriverPrompts, EndOfInputAtThePasswordPromptGivesTheEmptyPassword) {
  FakeBox box("127.0.2.3", 0, walk_box({{0, box_error(kBoxWrongPassword, 0)}}));
  getdata conn(box.port(), kWaitMs);
  const Outcome o = run(conn, {}, box.addr());
  EXPECT_EQ(o.status, 1);  // the walk ended early
  EXPECT_EQ(o.out, std::string(kAddressPrompt) + kPasswordPrompt + "Wrong password !\n");
  const std::vector<Bytes> reqs = box.requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(request_password(reqs[0]), padded(""));
}

// Address and password given in any form, or prompted when an option has no
// text of its own; the box answers "wrong password" so each run asks once.
TEST(DriverCommandLine, AddressAndPasswordFormsAndMissingArguments) {
  FakeBox box("127.0.2.4", 0, walk_box({{0, box_error(kBoxWrongPassword, 0)}}));
  getdata conn(box.port(), kWaitMs);
  const std::string addr = box.addr();
  const std::string wrong = "Wrong password !\n";
  const std::string ask_addr = std::string(kAddressPrompt) + wrong;
  const std::string ask_pw = std::string(kPasswordPrompt) + wrong;
  const std::string ask_both = std::string(kAddressPrompt) + kPasswordPrompt + wrong;
  const struct {
    std::vector<std::string> words;
    std::string input;
    std::string out;
    std::string password;
  } cases[] = {
      {{"-i" + addr, "-ppw"}, "", wrong, "pw"},
      {{"-i", addr, "-p", "pw"}, "", wrong, "pw"},
      {{"/i" + addr, "/ppw"}, "", wrong, "pw"},
      {{"/i", addr, "/p", "pw"}, "", wrong, "pw"},
      {{"-I", addr, "-P", "pw"}, "", wrong, "pw"},
      {{"-i", "127.0.2.99", "-i", addr, "-p", "one", "-p", "two"}, "", wrong, "two"},
      {{"-p", "a-longer-password-than-sixteen", "-i", addr}, "", wrong, "a-longer-passwor"},
      {{"-:", "-i", addr, "-p", "pw"}, "", wrong, "pw"},
      {{"-i", "-p", "pw"}, addr, ask_addr, "pw"},
      {{"-p", "pw", "-i"}, addr, ask_addr, "pw"},
      {{"-i", "-o", "-p", "pw"}, addr, ask_addr, "pw"},
      {{"-I", "/P", "pw"}, addr, ask_addr, "pw"},
      {{"-i", addr, "-p"}, "typed", ask_pw, "typed"},
      {{"-i", addr, "-P", "-o"}, "typed", ask_pw, "typed"},
      {{"-i", addr, "-p", "/tmp"}, "typed", ask_pw, "typed"},
      {{"-i", "-p"}, addr + " typed", ask_both, "typed"},
      {{"-i", addr, "-i", "-p", "pw"}, "", wrong, "pw"},  // the earlier address stands
  };
  size_t seen = 0;
  for (const auto& c : cases) {
    std::string trace;
    for (const std::string& w : c.words) trace += w + " ";
    SCOPED_TRACE(trace);
    const Outcome o = run(conn, c.words, c.input);
    EXPECT_EQ(o.status, 1);  // the walk ended early
    EXPECT_EQ(o.out, c.out);
    const std::vector<Bytes> reqs = box.requests();
    ASSERT_EQ(reqs.size(), seen + 1);
    EXPECT_EQ(request_password(reqs[seen]), padded(c.password));
    seen = reqs.size();
  }
}

TEST(DriverCommandLine, LocalTimeFlagIsSetPerRun) {
  FakeBox box("127.0.2.5", 0, walk_box({{0, box_error(kBoxWrongPassword, 0)}}));
  getdata conn(box.port(), kWaitMs);
  const std::string addr = box.addr();
  const struct {
    std::vector<std::string> words;
    int local_time;
  } cases[] = {
      {{"-t"}, 1}, {{}, 0}, {{"-T"}, 1}, {{"-ot"}, 0}, {{"/tmp"}, 1}, {{"-o", "-O"}, 0},
  };
  for (const auto& c : cases) {
    std::vector<std::string> words = c.words;
    words.insert(words.end(), {"-i", addr, "-p", "pw"});
    SCOPED_TRACE(words.front());
    const Outcome o = run(conn, words);
    EXPECT_EQ(o.status, 1);  // the walk ended early
    EXPECT_EQ(o.out, "Wrong password !\n");
    EXPECT_EQ(o.local_time, c.local_time != 0);
  }
}

TEST(DriverInvalidAddress, IsRefusedBeforeThePasswordPromptAndTheBox) {
  FakeBox box("127.0.2.6", 0, walk_box({}));
  getdata conn(box.port(), kWaitMs);
  const std::string addr = box.addr();
  const struct {
    std::vector<std::string> words;
    std::string input;
    std::string out;
  } cases[] = {
      {{"-i", "999.1.1.1", "-p", "pw"}, "", "Invalid IP address '999.1.1.1' !\n"},
      {{"-i", "box"}, "pw\n", "Invalid IP address 'box' !\n"},
      {{"-i", addr, "-i", "1.2.3.4.5", "-p", "pw"}, "", "Invalid IP address '1.2.3.4.5' !\n"},
      {{"-i", ""}, "pw\n", "Invalid IP address '' !\n"},
      {{"-p", "pw"}, "box\n", std::string(kAddressPrompt) + "Invalid IP address 'box' !\n"},
      {{}, "box secret\n", std::string(kAddressPrompt) + "Invalid IP address 'box' !\n"},
      {{}, "", std::string(kAddressPrompt) + "Invalid IP address '' !\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.out);
    const Outcome o = run(conn, c.words, c.input);
    EXPECT_EQ(o.status, -1);
    EXPECT_EQ(o.out, c.out);
  }
  EXPECT_TRUE(box.requests().empty());
}

TEST(ReadWord, SkipsBlanksAndCutsLongWords) {
  const std::string long_word(150, 'x');
  const struct {
    std::string input;
    std::vector<std::string> words;  // successive reads
  } cases[] = {
      {"", {"", ""}},
      {"   \n\t ", {"", ""}},
      {"abc", {"abc", ""}},
      {"  abc def\n", {"abc", "def", ""}},
      {"\r\n\v\fone\ttwo", {"one", "two"}},
      {std::string(99, 'a') + " b", {std::string(99, 'a'), "b"}},
      {std::string(100, 'a') + " b", {std::string(99, 'a'), "b"}},
      {long_word + "\nnext", {std::string(99, 'x'), "next", ""}},
      {long_word, {std::string(99, 'x'), ""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input.substr(0, 20));
    std::FILE* in = std::tmpfile();
    std::fwrite(c.input.data(), 1, c.input.size(), in);
    std::rewind(in);
    for (const std::string& want : c.words) {
      char buffer[100];
      std::memset(buffer, '#', sizeof buffer);
      EXPECT_EQ(read_word(in, buffer, sizeof buffer), static_cast<int>(want.size()));
      EXPECT_EQ(std::string(buffer), want);
    }
    std::fclose(in);
  }
}

// The rest of an overlong answer must not become the password.
TEST(DriverPrompts, OverlongAnswerIsCutAndItsRestDropped) {
  FakeBox box("127.0.2.7", 0, walk_box({{0, box_error(kBoxWrongPassword, 0)}}));
  getdata conn(box.port(), kWaitMs);
  // 127.0.2.7 as one hex number, padded with zeros to exactly 99 characters.
  const std::string hex = "0x" + std::string(89, '0') + "7f000207";
  ASSERT_EQ(hex.size(), 99u);
  const Outcome o = run(conn, {}, hex + "RESTOFWORD\nsecret\n");
  EXPECT_EQ(o.status, 1);  // the walk ended early
  EXPECT_EQ(o.out, std::string(kAddressPrompt) + kPasswordPrompt + "Wrong password !\n");
  const std::vector<Bytes> reqs = box.requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(request_password(reqs[0]), padded("secret"));
}

// Each row of the walk's table against a box that answers one slot with the
// row's code; every other slot answers the silent 0xFB.
TEST(DriverWalk, EachResultCodeHasItsMessageAndItsEffect) {
  const struct {
    const char* name;
    std::map<int, Bytes> answers;
    std::vector<FakeSensor> sensors;
    std::string out;
    std::vector<int> asked;
    int status = 2;  // the silent slots were not read
  } cases[] = {
      {"all silent errors", {}, {}, "", slots_upto(15)},
      {"0xFC silent", {{3, box_error(kBoxErrorFC, 3)}}, {}, "", slots_upto(15)},
      {"wrong password first",
       {{0, box_error(kBoxWrongPassword, 0)}},
       {},
       "Wrong password !\n",
       {0},
       1},
      {"wrong password later",
       {{7, box_error(kBoxWrongPassword, 7)}},
       {},
       "Wrong password !\n",
       slots_upto(7),
       1},
      {"port offline skips its second slot",
       {{4, box_error(kBoxPortOffline, 4)}},
       {},
       "Port 3 offline.\n",
       slots_upto(15, 5)},
      {"last port offline",
       {{14, box_error(kBoxPortOffline, 14)}},
       {},
       "Port 8 offline.\n",
       slots_upto(15, 15)},
      {"offline on the second slot",
       {{1, box_error(kBoxPortOffline, 1)}},
       {},
       "Port 1 offline.\n",
       slots_upto(15)},
      {"no datalog",
       {{9, box_error(kBoxNoDatalog, 9)}},
       {},
       "Sensor on port 5 has no datalog.\n",
       slots_upto(15)},
      {"old firmware",
       {{2, Bytes(kOldFirmwareReplySize, 0)}},
       {},
       "Please update firmware on Vellorix\n",
       slots_upto(2),
       1},
      {"unknown box error",
       {{12, box_error(0x85, 12)}},
       {},
       "Read Vellorix status, return unknown error (-123).\n",
       slots_upto(15)},
      {"box error 0x80",
       {{0, box_error(0x80, 0)}},
       {},
       "Read Vellorix status, return unknown error (-128).\n",
       slots_upto(15)},
      {"empty datalog",
       {},
       {sensor(0, 1, 0, 1)},
       "Sensor on port 1 has no data in datalogger\n",
       slots_upto(15)},
      {"invalid datalog",
       {},
       {FakeSensor{}, FakeSensor{}, FakeSensor{}, sensor(3, 1, 10, 3)},
       "Sensor on port 2 has an invalid datalog !\n",
       slots_upto(15)},
      {"several messages in walk order",
       {{0, box_error(kBoxNoDatalog, 0)},
        {2, box_error(kBoxPortOffline, 2)},
        {6, box_error(0x90, 6)},
        {11, box_error(kBoxWrongPassword, 11)}},
       {},
       "Sensor on port 1 has no datalog.\nPort 2 offline.\n"
       "Read Vellorix status, return unknown error (-112).\nWrong password !\n",
       {0, 1, 2, 4, 5, 6, 7, 8, 9, 10, 11},
       1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeBox box("127.0.2.8", 0, walk_box(c.answers, c.sensors));
    getdata conn(box.port(), kWaitMs);
    const Outcome o = run(conn, {"-i", box.addr(), "-p", "pw"});
    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(o.out, c.out);
    EXPECT_EQ(status_requests(box), c.asked);
    EXPECT_EQ(data_requests(box), 0);
  }
}

TEST(DriverWalk, SilentBoxEndsTheWalkAfterFiveRequests) {
  FakeBox box("127.0.2.9", 0, walk_box({{1, Bytes()}}));
  getdata conn(box.port(), kWaitMs);
  const Outcome o = run(conn, {"-i", box.addr(), "-p", "pw"});
  EXPECT_EQ(o.status, 1);  // the walk ended early
  EXPECT_EQ(o.out, "No Vellorix reply !\n");
  EXPECT_EQ(status_requests(box), (std::vector<int>{0, 1, 1, 1, 1, 1}));
}

// Runs in a directory of its own: the hand-off writes report files into the
// current directory.
class DriverHandOff : public testing::Test {
 protected:
  void SetUp() override {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    old_dir_ = cwd;
    char dir[] = "/tmp/logfetch-app-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    ASSERT_EQ(chdir(dir), 0);
  }
  void TearDown() override {
    EXPECT_EQ(chdir(old_dir_.c_str()), 0);
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }
  static std::string contents(const std::string& name) {
    std::ifstream f(name);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  std::string old_dir_;
  std::string dir_;
};

// --task-xml: the site file as given is made absolute against the current
// folder, checked as a run would check it, and nothing is sent.
using DriverTaskXml = DriverHandOff;

TEST_F(DriverTaskXml, PrintsTheTaskOfAUsableSiteFile) {
  { std::ofstream("site.toml") << "[[box]]\naddress = \"127.0.2.30\"\npassword = \"pw\"\n"; }
  ASSERT_EQ(chmod("site.toml", 0600), 0);
  getdata conn;
  const Outcome o = run(conn, {"--task-xml", "-f", "site.toml"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n", 0), 0u) << o.out;
  EXPECT_NE(o.out.find("<Command>" + program_path() + "</Command>"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("<Arguments>-f " + dir_ + "/site.toml -n -c -w</Arguments>"),
            std::string::npos)
      << o.out;
  EXPECT_NE(o.out.find("<WorkingDirectory>" + dir_ + "</WorkingDirectory>"), std::string::npos);

  ASSERT_EQ(chmod("site.toml", 0644), 0);
  const Outcome refused = run(conn, {"--task-xml", "-f", "site.toml"});
  EXPECT_EQ(refused.status, -1);
  EXPECT_EQ(refused.out.rfind("site.toml may be read by others", 0), 0u) << refused.out;
}

TEST_F(DriverHandOff, EachSensorReadIsSavedAndTheWalkGoesOn) {
  FakeBox box("127.0.2.10", 0,
              walk_box({{3, box_error(kBoxNoDatalog, 3)}},
                       {sensor(0, 1, 30, 1), FakeSensor{}, sensor(2, 3, 20, 2)}));
  getdata conn(box.port(), kWaitMs);
  const Outcome o = run(conn, {"-i", box.addr(), "-p", "pw"});
  EXPECT_EQ(o.status, 2);  // the silent 0xFB slots were not read
  const std::string p1 = box.addr() + "_p1_" + sensor_type_name(1) + ".txt";
  const std::string p2 = box.addr() + "_p2_" + sensor_type_name(3) + ".txt";
  EXPECT_EQ(o.out, "Saving data to " + p1 + " ...\nSaving data to " + p2 +
                       " ...\nSensor on port 2 has no datalog.\n");
  EXPECT_EQ(status_requests(box), slots_upto(15));
  EXPECT_EQ(data_requests(box), 2);
  EXPECT_FALSE(contents(p1).empty());
  EXPECT_FALSE(contents(p2).empty());
}

// Without -o reports are added to what the file holds; with it the file is
// emptied first.
TEST_F(DriverHandOff, OverwriteFlagReachesTheWriter) {
  FakeBox box("127.0.2.11", 0, walk_box({}, {sensor(0, 1, 5, 1)}));
  getdata conn(box.port(), kWaitMs);
  const std::string name = box.addr() + "_p1_" + sensor_type_name(1) + ".txt";
  const struct {
    std::vector<std::string> flags;
    bool keeps_old;
  } cases[] = {{{}, true}, {{"-o"}, false}, {{"-O"}, false}, {{"/ot"}, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.flags.empty() ? "append" : c.flags[0]);
    { std::ofstream(name) << "OLD REPORT\n"; }
    std::vector<std::string> words = c.flags;
    words.insert(words.end(), {"-i", box.addr(), "-p", "pw"});
    const Outcome o = run(conn, words);
    EXPECT_EQ(o.status, 2);  // the silent 0xFB slots were not read
    EXPECT_EQ(o.out, "Saving data to " + name + " ...\n");
    const std::string text = contents(name);
    EXPECT_EQ(text.rfind("OLD REPORT\n", 0) == 0, c.keeps_old);
    EXPECT_GT(text.size(), std::string("OLD REPORT\n").size());
  }
}

// -c keeps a CSV history beside each report; -w also draws the box's page,
// after the walk, even one that ended early.
TEST_F(DriverHandOff, HistoryAndPageFlags) {
  FakeBox box("127.0.2.13", 0,
              walk_box({{1, box_error(kBoxWrongPassword, 0)}}, {sensor(0, 1, 5, 1)}));
  getdata conn(box.port(), kWaitMs);
  const std::string report = box.addr() + "_p1_" + sensor_type_name(1) + ".txt";
  const std::string csv = box.addr() + "_p1_s1_" + sensor_type_name(1) + ".csv";
  const std::string page = box.addr() + ".html";
  const struct {
    const char* flag;
    bool history, page;
  } cases[] = {{"-o", false, false},
               {"-c", true, false},
               {"/C", true, false},
               {"-w", true, true},
               {"/W", true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.flag);
    std::remove(csv.c_str());
    std::remove(page.c_str());
    const Outcome o = run(conn, {c.flag, "-i", box.addr(), "-p", "pw"});
    EXPECT_EQ(o.status, 1);  // the walk ended early
    EXPECT_EQ(o.out, "Saving data to " + report + " ...\n" +
                         (c.history ? "Saving history to " + csv + " ...\n" : "") +
                         "Wrong password !\n" +
                         (c.page ? "Saving charts to " + page + " ...\n" : ""));
    EXPECT_EQ(contents(csv).find("time_utc,time_local,value\r\n") == 0, c.history);
    EXPECT_EQ(contents(page).find("<svg class=\"chart\"") != std::string::npos, c.page);
  }
}

// The password is typed at a terminal: the test plays the terminal through a
// pseudo-terminal and types only once echo is off.
TEST(DriverPrompts, PasswordIsNotEchoedAtATerminal) {
  FakeBox box("127.0.2.12", 0, walk_box({{0, box_error(kBoxWrongPassword, 0)}}));
  getdata conn(box.port(), kWaitMs);

  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0) GTEST_SKIP() << "no pseudo-terminal here: " << std::strerror(errno);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  termios mode;
  ASSERT_EQ(tcgetattr(slave, &mode), 0);
  mode.c_lflag |= ECHO | ICANON;
  ASSERT_EQ(tcsetattr(slave, TCSANOW, &mode), 0);
  std::FILE* in = fdopen(slave, "r");
  ASSERT_NE(in, nullptr);

  bool saw_echo_off = false;
  std::thread typist([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    termios now;
    while (std::chrono::steady_clock::now() < deadline) {
      if (tcgetattr(master, &now) == 0 && !(now.c_lflag & ECHO)) {
        saw_echo_off = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const char typed[] = "hunter2\n";
    EXPECT_EQ(write(master, typed, sizeof typed - 1), static_cast<ssize_t>(sizeof typed - 1));
  });
  const Outcome o = run_with(conn, {"-i", box.addr()}, in);
  typist.join();

  EXPECT_TRUE(saw_echo_off);
  EXPECT_EQ(o.status, 1);  // the walk ended early
  EXPECT_EQ(o.out, std::string(kPasswordPrompt) + "\nWrong password !\n");
  ASSERT_EQ(tcgetattr(slave, &mode), 0);
  EXPECT_TRUE(mode.c_lflag & ECHO);
  const std::vector<Bytes> reqs = box.requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(request_password(reqs[0]), padded("hunter2"));

  // Whatever the terminal echoed is waiting on the master side.
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  char echoed[256];
  const ssize_t n = read(master, echoed, sizeof echoed);
  EXPECT_EQ(std::string(echoed, n > 0 ? n : 0).find("hunter2"), std::string::npos);
  std::fclose(in);
  close(master);
}
}  // namespace

// The exit status tells a scheduler how the walk went, with -n or without.
TEST_F(DriverHandOff, IncrementalExitStatusTellsHowTheWalkWent) {
  const auto offline_box = [](std::map<int, Bytes> answers, std::vector<FakeSensor> sensors) {
    FakeHandler sensor_handler = serve_sensors(sensors, kBoxPortOffline);
    return [answers, sensor_handler](const Bytes& req, int index) -> std::vector<FakeReply> {
      if (req.size() == kRequestSize && req[kReqCode] == kStatusRequestCode) {
        auto it = answers.find(slot_index(req));
        if (it != answers.end())
          return it->second.empty() ? std::vector<FakeReply>{}
                                    : std::vector<FakeReply>{reply(it->second)};
      }
      return sensor_handler(req, index);
    };
  };
  const struct {
    const char* name;
    std::map<int, Bytes> answers;
    std::vector<FakeSensor> sensors;
    int status;
  } cases[] = {
      {"every sensor read", {}, {sensor(0, 1, 30, 1), sensor(1, 3, 20, 2)}, 0},
      {"nothing to read is no failure",
       {{3, box_error(kBoxNoDatalog, 3)}},
       {sensor(0, 1, 0, 1), sensor(1, 1, 5, 1)},
       0},
      {"a sensor that answers an error", {{1, box_error(kBoxErrorFB, 1)}}, {sensor(0, 1, 5, 1)}, 2},
      {"an invalid datalog", {}, {sensor(0, 1, 5, 1), sensor(1, 1, 10, 3)}, 2},
      {"wrong password", {{4, box_error(kBoxWrongPassword, 4)}}, {sensor(0, 1, 5, 1)}, 1},
      {"old firmware", {{0, Bytes(kOldFirmwareReplySize, 0)}}, {}, 1},
      {"no reply", {{2, Bytes()}}, {sensor(0, 1, 5, 1)}, 1},
  };
  const char* const forms[] = {"-n", "/n", "-N", "/N"};
  int form = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove("logfetch.state");
    FakeBox box("127.0.2.13", 0, offline_box(c.answers, c.sensors));
    getdata conn(box.port(), kWaitMs);
    EXPECT_EQ(run(conn, {forms[form++ % 4], "-i", box.addr(), "-p", "pw"}).status, c.status);
    EXPECT_EQ(run(conn, {"-i", box.addr(), "-p", "pw"}).status, c.status);
  }
}

// Without a socket nothing can be read: the run stops at once with -1, and
// leaves no page, export or outcome record as if the walk had gone on.
TEST_F(DriverHandOff, NoSocketEndsTheRunWithMinusOne) {
  // The socket cannot be bound where another one already is.
  FakeBox busy("127.0.2.14", 0, [](const Bytes&, int) { return std::vector<FakeReply>{}; });
  getdata conn(kBoxPort, kWaitMs);
  ASSERT_TRUE(parse_ipv4(busy.addr().c_str(), &conn.local.addr));
  conn.local.port = busy.port();
  const Outcome o = run(
      conn, {"-i", "127.0.2.14", "-p", "pw", "-w", "-x", "influx", "-m", dir_ + "/outcome.prom"});
  EXPECT_EQ(o.status, -1);
  EXPECT_EQ(o.out, "Open socket on client error (10048)\nProgram halted !\n");
  EXPECT_EQ(std::system("test -z \"$(ls -A)\""), 0) << "files were left in " << dir_;
}
