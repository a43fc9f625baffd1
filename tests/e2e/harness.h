// Runs the real logfetch binary against a boxsim process, each in a fresh
// temporary directory, with bounded time.
//
// Environment:
//   LOGFETCH_EXE     the logfetch to run (default: the one built beside us)
//   LOGFETCH_RUNNER  command put before it, split at blanks (e.g. "wine")
//   BOXSIM_EXE       the boxsim to run (default: the one built beside us)
//   BOXSIM_RUNNER    command put before it (e.g. "wine" for boxsim.exe)
//   E2E_NET          third byte of the boxes' addresses 127.0.NET.N (default 3)
//   E2E_BOX_ADDR     one address for every box instead (tests then run one at a time)
//
// Every TEST uses its own N from the table below, so that `ctest -j` is safe.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

// The last byte of each TEST's box address; the second addresses of junk
// tests are N + 100.
namespace box_n {
constexpr int kMessageTable = 1, kWrongPassword = 2, kOldFirmware = 3, kNoReply = 4, kPrompts = 5,
              kPromptAtEndOfInput = 6, kFullBox = 7, kWorkedExample = 8, kLocalTime = 9,
              kOverwrite = 10, kTenths = 11, kNameTooLong = 12, kWriteError = 13, kCannotOpen = 14,
              kInvalidDatalog = 15, kHostile = 16, kMissingArgument = 17, kLongWord = 18,
              kFlood = 19, kDuplicates = 20, kJunk = 21, kDroppedRequest = 22, kInvalidAddress = 23,
              kStaleCopy = 24;
}  // namespace box_n

// Exit status -1 as the parent sees it.
constexpr int kExitMinusOne = 255;

std::string box_addr(int n);
bool running_as_root();
// True when logfetch runs through a runner (Wine): its console and text files
// end lines with CRLF.
bool through_runner();
// True when boxsim runs through a runner: it is then stopped with SIGINT,
// which Wine turns into the console's Ctrl-C.
bool boxsim_through_runner();
// CRLF to LF, only when running through a runner.
std::string normalise(const std::string& text);

#define E2E_NEEDS_ROOT()                                                          \
  do {                                                                            \
    if (!running_as_root())                                                       \
      GTEST_SKIP() << "boxsim must bind UDP port 811, which needs root: run the " \
                      "end-to-end tests as root";                                 \
  } while (0)

// Tests that cannot run, or show nothing, where logfetch.exe or boxsim.exe
// runs under Wine (LOGFETCH_RUNNER or BOXSIM_RUNNER set) skip there with the
// reason; scripts/test-windows.sh then runs every suite whole.
#define E2E_SKIP_IF(cond, who, why)                         \
  do {                                                      \
    if (cond) GTEST_SKIP() << who " under Wine: " << (why); \
  } while (0)
#define SKIP_IF_LOGFETCH_UNDER_WINE(why) E2E_SKIP_IF(through_runner(), "logfetch.exe", why)
#define SKIP_IF_BOXSIM_UNDER_WINE(why) E2E_SKIP_IF(boxsim_through_runner(), "boxsim.exe", why)
#define SKIP_IF_UNDER_WINE(why) \
  E2E_SKIP_IF(through_runner() || boxsim_through_runner(), "a program", why)

// The reasons shared by several tests.
namespace under_wine {
constexpr char kHelperCheck[] = "a check of the test helpers themselves, no program runs";
constexpr char kPosixDevice[] = "rests on a POSIX device that Windows lacks";
// Wine 8 binds a Windows program's datagram socket asked for any loopback
// address but 127.0.0.1 to all addresses, and its replies then come from
// 127.0.0.1: boxsim.exe can serve only there (E2E_BOX_ADDR).
constexpr char kSecondAddress[] =
    "junk from a second address cannot be sent: Wine 8 binds boxsim.exe's socket to all "
    "addresses";
constexpr char kNativeLock[] = "a lock a Linux process holds is not one Wine's programs see";
constexpr char kSilentBox[] =
    "only waits out a silent box, which shows nothing of boxsim's sockets";
}  // namespace under_wine

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  void write(const std::string& name, const std::string& text) const;
  // The file's bytes ("" when missing), normalised.
  std::string read(const std::string& name) const;
  bool exists(const std::string& name) const;
  // Names of the entries, sorted.
  std::vector<std::string> list() const;

 private:
  std::string path_;
};

// Where a process runs. kSharedCpu puts logfetch on one CPU; kRealtimeOnSharedCpu
// puts boxsim there too, at a real-time priority, so that it finishes sending
// everything due before logfetch can run: replies sent together are then all
// waiting when logfetch reads the first (root only).
enum class Placement { kAnywhere, kSharedCpu, kRealtimeOnSharedCpu };

// Whether kRealtimeOnSharedCpu can be had here.
bool realtime_available();

struct RunResult {
  std::string out;  // standard output, normalised
  int status = -1;  // exit status 0..255, or -1 when killed
  bool timed_out = false;
  double seconds = 0;
};

// Runs logfetch in `dir` with `args`, feeding `input` on standard input
// (then end of input); kills it after `timeout_s`.
RunResult run_logfetch(const TempDir& dir, const std::vector<std::string>& args,
                       const std::string& input = "", int timeout_s = 60,
                       Placement placement = Placement::kAnywhere);

struct LoggedRequest {
  double seconds;
  std::string hex;
};

// A boxsim process on 127.0.NET.n:811 serving `box_text`, with its own
// directory for the box file and the request log. Stopped on destruction.
class BoxSim {
 public:
  BoxSim(int n, const std::string& box_text, const std::vector<std::string>& extra_args = {},
         Placement placement = Placement::kAnywhere);
  ~BoxSim();
  BoxSim(const BoxSim&) = delete;
  BoxSim& operator=(const BoxSim&) = delete;

  bool ready() const { return pid_ > 0; }
  const std::string& addr() const { return addr_; }
  // Every datagram received so far, as the log has it.
  std::vector<LoggedRequest> requests() const;
  std::vector<std::string> request_hex() const;

 private:
  TempDir dir_;
  std::string addr_;
  int pid_ = -1;
};

// A 24-byte request as hex: code, port, slot, start and count (LE), password
// cut to 16 bytes.
std::string request_hex(int code, int port, int slot, int start, int count,
                        const std::string& password);
